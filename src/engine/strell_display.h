// Everything a scan job asks of the window (or terminal, or test recorder).
// The job calls these on its worker thread; the Qt window posts them to the
// GUI thread (queued), and blocks only in blinkData.
#pragma once

#include <cstdint>
#include <string>

#include "engine/buffer.h"
#include "engine/found_item.h"

namespace strellbox {

class StrellDisplay {
 public:
  virtual ~StrellDisplay() = default;

  // Stop button enabled at the start of a job, disabled at its end.
  virtual void setStopEnabled(bool enabled) { (void)enabled; }
  // Hides (true) or shows (false) the progress bar and the two fields that
  // name the entry being scanned.
  virtual void setHiddenJag(bool hidden) { (void)hidden; }
  // Indeterminate and animated while folders are expanded.
  virtual void setIndeterminate(bool indeterminate) { (void)indeterminate; }
  // Progress: bytes scanned of total (total may be 0: show an empty bar),
  // and the items found so far.
  virtual void progressFromThread(double bytes, double total, int32_t foundItems) {
    (void)bytes, (void)total, (void)foundItems;
  }
  // End of a job: clear the name field, fill the bar, hide bar and fields.
  virtual void progressFinish() {}
  // The job's failure message, once, at its end.
  virtual void reportStrellerError(const std::string& message) { (void)message; }
  // The found count shown, for a job started without a list.
  virtual void setFoundCount(int32_t count) { (void)count; }
  // A request arrived: clear the preview image.
  virtual void clearPreview() {}
  // A request arrived: refresh the counters every 0.3 s while the
  // controller's updateCounters() stays true.
  virtual void startCounterRefresh() {}
  // The recent-items list changed.
  virtual void setupRecentMenu() {}
  // The preview hand-off: returns once the display has taken the image.
  virtual void blinkData(const Buffer& bytes) { (void)bytes; }
  // A job that made its output folder opens it at its end.
  virtual void openFolder(const std::string& path) { (void)path; }
  // One found file was written at `path` (its last component is
  // `fileName`). A listing job writes nothing: `path` is then empty and
  // `fileName` the name the item would be given. The item still holds
  // its bytes.
  virtual void fileWritten(const std::string& path, const std::string& fileName,
                           const FoundItem& item) {
    (void)path, (void)fileName, (void)item;
  }
  // A repeat of an item written before in this job, at `copy` (in a
  // listing job, the name that item was listed under); it is not written
  // again and holds no bytes.
  virtual void itemRepeated(const FoundItem& item, const std::string& copy) {
    (void)item, (void)copy;
  }
  // An item a noise filter leaves out (`item.filtered` says which), told
  // to a listing job's display only, with the name it would have been
  // given before numbering.
  virtual void itemFiltered(const FoundItem& item, const std::string& fileName) {
    (void)item, (void)fileName;
  }
  // An entry was passed over; `reason` says why ("a FIFO, socket or
  // device", ...). `special` is true for entries that are never read
  // (FIFOs, sockets, devices), which deserve a warning of their own.
  virtual void entrySkipped(const std::string& path, const std::string& reason, bool special) {
    (void)path, (void)reason, (void)special;
  }
};

}  // namespace strellbox
