// The one owner of a scan job: preferences, the job's state and counters,
// the dispatcher, the found-item store and the recent-items list. The
// extractors are its members, defined one file per format family under
// src/extractors and src/pdf.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "engine/buffer.h"
#include "engine/digest.h"
#include "engine/strell_display.h"
#include "engine/strell_progress.h"

namespace strellbox {

// One found embedded file waiting to be written.
struct FoundItem {
  std::string name;    // file name without extension
  std::string type;    // extension without dot; may be empty
  Buffer data;         // own copy of the bytes; released once written
  std::string source;  // the source name the extractor was given
};

class StrellController : public StrellerProgress {
 public:
  explicit StrellController(StrellDisplay* display = nullptr);
  ~StrellController() override;
  StrellController(const StrellController&) = delete;
  StrellController& operator=(const StrellController&) = delete;

  void setDisplay(StrellDisplay* display);

  // --- Preferences (registered defaults) -------------------------------
  bool scanForPDF() const { return scanForPDF_.load(kRelaxed); }
  bool scanForJPEG() const { return scanForJPEG_.load(kRelaxed); }
  bool scanForGIF() const { return scanForGIF_.load(kRelaxed); }
  bool scanForPNG() const { return scanForPNG_.load(kRelaxed); }
  bool scanForFlash() const { return scanForFlash_.load(kRelaxed); }
  bool scanForBase64() const { return scanForBase64_.load(kRelaxed); }
  bool scanForBmp() const { return scanForBmp_.load(kRelaxed); }
  bool scanForWav() const { return scanForWav_.load(kRelaxed); }
  bool scanForFlate() const { return scanForFlate_.load(kRelaxed); }
  bool scanForASCII() const { return scanForASCII_.load(kRelaxed); }
  bool scanForHTML() const { return scanForHTML_.load(kRelaxed); }
  bool dontSaveDuplicates() const { return dontSaveDuplicates_.load(kRelaxed); }
  int32_t saveRadioChosen() const { return saveRadioChosen_.load(kRelaxed); }
  std::string saveFolder() const;

  void setScanForPDF(bool on) { scanForPDF_.store(on, kRelaxed); }
  void setScanForJPEG(bool on) { scanForJPEG_.store(on, kRelaxed); }
  void setScanForGIF(bool on) { scanForGIF_.store(on, kRelaxed); }
  void setScanForPNG(bool on) { scanForPNG_.store(on, kRelaxed); }
  void setScanForFlash(bool on) { scanForFlash_.store(on, kRelaxed); }
  void setScanForBase64(bool on) { scanForBase64_.store(on, kRelaxed); }
  void setScanForBmp(bool on) { scanForBmp_.store(on, kRelaxed); }
  void setScanForWav(bool on) { scanForWav_.store(on, kRelaxed); }
  void setScanForFlate(bool on) { scanForFlate_.store(on, kRelaxed); }
  void setScanForASCII(bool on) { scanForASCII_.store(on, kRelaxed); }
  void setScanForHTML(bool on) { scanForHTML_.store(on, kRelaxed); }
  void setDontSaveDuplicates(bool on) { dontSaveDuplicates_.store(on, kRelaxed); }
  void setSaveRadioChosen(int32_t tag) { saveRadioChosen_.store(tag, kRelaxed); }
  void setSaveFolder(const std::string& folder);
  // Every scan flag on or off at once.
  void setAllScans(bool on);

  // --- The scan job ------------------------------------------------------
  // Starts a job for the paths (main thread); returns at once. A request
  // that arrives while a job runs is scanned by the same worker after it.
  void threadStrell(const std::vector<std::string>& paths);
  // The job itself (worker thread).
  void strell(const std::vector<std::string>& paths);
  std::vector<std::string> directoryExpand(const std::vector<std::string>& paths);
  int32_t strellOne(const std::string& path);

  // Waits until no job runs and no request is waiting.
  void waitUntilIdle();
  // True while a worker is busy with a job or its queue.
  bool jobActive() const;
  // Requests a stop, drops waiting requests and joins the worker. The Qt
  // window must keep its event loop running while the worker can block in
  // the preview hand-off; see jobActive().
  void shutdown();
  // The first half of shutdown(): stop the job, drop and refuse requests,
  // but do not wait. A GUI thread calls this, runs its event loop until
  // jobActive() is false, then calls shutdown() to join.
  void requestShutdown();

  void stopStrelling() { stopStreller_.store(true, kRelaxed); }
  bool stopStreller() const override { return stopStreller_.load(kRelaxed); }
  void setStopStreller(bool stop) { stopStreller_.store(stop, kRelaxed); }
  void subProgress(double fraction) override;
  void progressFromThread(double bytes);

  bool strelling() const { return strelling_.load(kRelaxed); }
  bool updateCounters() const { return updateCounters_.load(kRelaxed); }
  int32_t itemsToStrell() const { return itemsToStrell_.load(kRelaxed); }
  int32_t foundItems() const { return foundItems_.load(kRelaxed); }
  double bytesToStrell() const { return bytesToStrell_.load(kRelaxed); }
  void addBytesToStrell(double bytes);
  double strelledBytes() const { return strelledBytes_.load(kRelaxed); }
  void setSubProgressBytesToStrell(double bytes) {
    subProgressBytesToStrell_.store(bytes, kRelaxed);
  }
  int32_t strellRecursionLevel() const { return strellRecursionLevel_; }

  std::string currentlyStrelling() const;
  void setCurrentlyStrelling(const std::string& label);
  std::optional<std::string> strellerError() const;
  void setStrellerError(std::optional<std::string> message);

  const std::vector<std::string>& recentItems() const { return recentItems_; }
  void setRecentItems(std::vector<std::string> items) { recentItems_ = std::move(items); }

  // --- The dispatcher ------------------------------------------------------
  int32_t strellData(const Buffer& data, const std::string& from);
  int32_t fileTypeCount() const;
  bool atomicFileFound() const { return atomicFileFound_; }
  void setAtomicFileFound(bool found) { atomicFileFound_ = found; }

  // --- The found-item store -------------------------------------------------
  void saveStrell(const Buffer& data, uint64_t from, uint64_t length, std::string_view type,
                  std::string_view original, int32_t foundNo) override;
  void queueFoundItem(FoundItem item);
  bool blinkImage(const Buffer& bytes);
  void writeFoundFiles();
  void calculateStrellOutputFolder(const std::vector<std::string>& paths);
  const std::string& strellOutputDirectory() const { return strellOutputDirectory_; }
  void setStrellOutputDirectory(const std::string& path);
  bool strellOutputDirectoryCreated() const { return strellOutputDirectoryCreated_; }
  const std::vector<FoundItem>& images() const { return images_; }
  // Records processed by the writer since the program started.
  static int32_t exportNo();

  // --- Extractors (one pass each; see the dispatcher's pass table) ----------
  int32_t strellBase64(const Buffer& data, const std::string& from);
  int32_t strellSWF(const Buffer& data, const std::string& from);
  int32_t strellPNG(const Buffer& data, const std::string& from);
  int32_t strellGIF(const Buffer& data, const std::string& from);
  int32_t strellBMP(const Buffer& data, const std::string& from);
  int32_t strellWAV(const Buffer& data, const std::string& from);
  int32_t strellPDF(const Buffer& data, const std::string& from);
  int32_t strellJPEG(const Buffer& data, const std::string& from);
  int32_t strellASCII(const Buffer& data, const std::string& from);
  int32_t strellHTML(const Buffer& data, const std::string& from);
  int32_t strellZip(const Buffer& data, const std::string& from);
  int32_t strellDeflate(const Buffer& data, const std::string& from, bool saveInflates);

  // --- Test seams --------------------------------------------------------
  // Replaces the pass for a type key ("png", "flate", "silentflate", ...).
  using PassFunction = std::function<int32_t(const Buffer& data, const std::string& from)>;
  void setPassForTesting(const std::string& key, PassFunction pass);
  // When set, every reported item goes here instead of into the store.
  using SaveObserver =
      std::function<void(const Buffer& data, uint64_t from, uint64_t length, std::string_view type,
                         std::string_view original, int32_t foundNo)>;
  void setSaveObserverForTesting(SaveObserver observer) { saveObserver_ = std::move(observer); }

 private:
  static constexpr auto kRelaxed = std::memory_order_relaxed;

  int32_t runPass(const std::string& key, const Buffer& data, const std::string& from);
  void workerLoop(std::vector<std::string> paths);
  bool shuttingDown() const;
  StrellDisplay& display() { return *display_; }

  StrellDisplay nullDisplay_;
  StrellDisplay* display_;

  // Preferences.
  std::atomic<bool> scanForPDF_{true};
  std::atomic<bool> scanForJPEG_{true};
  std::atomic<bool> scanForGIF_{true};
  std::atomic<bool> scanForPNG_{true};
  std::atomic<bool> scanForFlash_{true};
  std::atomic<bool> scanForBase64_{true};
  std::atomic<bool> scanForBmp_{true};
  std::atomic<bool> scanForWav_{true};
  std::atomic<bool> scanForFlate_{false};
  std::atomic<bool> scanForASCII_{false};
  std::atomic<bool> scanForHTML_{false};
  std::atomic<bool> dontSaveDuplicates_{true};
  std::atomic<int32_t> saveRadioChosen_{0};
  mutable std::mutex saveFolderMutex_;
  std::string saveFolder_ = "~/Desktop";

  // Job state shared with the display thread.
  std::atomic<bool> strelling_{false};
  std::atomic<bool> stopStreller_{false};
  std::atomic<bool> updateCounters_{false};
  std::atomic<int32_t> itemsToStrell_{0};
  std::atomic<int32_t> foundItems_{0};
  std::atomic<double> bytesToStrell_{0};
  std::atomic<double> strelledBytes_{0};
  std::atomic<double> subProgressBytesToStrell_{0};
  mutable std::mutex labelMutex_;
  std::string currentlyStrelling_;
  std::optional<std::string> strellerError_;

  // The worker and its queue of requests.
  mutable std::mutex queueMutex_;
  std::condition_variable idle_;
  std::vector<std::string> strellQueue_;
  bool workerActive_ = false;
  bool shuttingDown_ = false;
  std::thread worker_;

  // Worker-only state.
  int32_t strellRecursionLevel_ = 0;
  bool atomicFileFound_ = false;
  std::string strellOutputDirectory_;
  bool strellOutputDirectoryCreated_ = false;
  std::vector<FoundItem> images_;
  std::unordered_set<ItemDigest, DigestHash> streamDigests_;

  // Main-thread state.
  std::vector<std::string> recentItems_;

  std::map<std::string, PassFunction> passOverrides_;
  SaveObserver saveObserver_;
};

}  // namespace strellbox
