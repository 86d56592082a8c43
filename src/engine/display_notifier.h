// The one way from a job to whatever shows it (window, terminal, test
// recorder, or nothing). The display may be swapped while no job runs; the
// workers read it without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/buffer.h"
#include "engine/found_item.h"
#include "engine/strell_display.h"

namespace strellbox {

class DisplayNotifier {
 public:
  explicit DisplayNotifier(StrellDisplay* display = nullptr) { setDisplay(display); }
  DisplayNotifier(const DisplayNotifier&) = delete;
  DisplayNotifier& operator=(const DisplayNotifier&) = delete;

  // nullptr: nothing is shown.
  void setDisplay(StrellDisplay* display) {
    display_.store(display ? display : &nullDisplay_, std::memory_order_release);
  }

  // A request arrived (main thread): the recent-items menu when the list
  // changed, a cleared preview, and counters refreshed while the job
  // says so.
  void requestArrived(bool recentItemsChanged);
  // The Stop button and the progress display, at a job's start and end.
  void jobStarted();
  void jobEnded();
  // After the job and the requests queued behind it: its failure, and the
  // output folder it made.
  void reportError(const std::string& message) { display().reportStrellerError(message); }
  void openFolder(const std::string& path) { display().openFolder(path); }
  void nothingToScan() { display().setFoundCount(0); }
  void expanding(bool busy) { display().setIndeterminate(busy); }
  void progress(double bytes, double total, int32_t foundItems) {
    display().progressFromThread(bytes, total, foundItems);
  }
  void entrySkipped(const std::string& path, const std::string& reason, bool special) {
    display().entrySkipped(path, reason, special);
  }
  // Returns once the display has taken the image.
  void preview(const Buffer& bytes) { display().blinkData(bytes); }
  void fileWritten(const std::string& path, const std::string& fileName, const FoundItem& item) {
    display().fileWritten(path, fileName, item);
  }
  void itemRepeated(const FoundItem& item, const std::string& copy) {
    display().itemRepeated(item, copy);
  }
  void itemFiltered(const FoundItem& item, const std::string& fileName) {
    display().itemFiltered(item, fileName);
  }

 private:
  StrellDisplay& display() const { return *display_.load(std::memory_order_acquire); }

  StrellDisplay nullDisplay_;
  std::atomic<StrellDisplay*> display_{&nullDisplay_};
};

}  // namespace strellbox
