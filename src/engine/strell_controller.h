// The one owner of a scan job: preferences, the job's state and counters,
// the found-item store and the recent-items list. The passes are free
// functions over a ScanContext (engine/scan_context.h), listed in the pass
// table (engine/pass_table.h); the controller only holds what they share.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "engine/buffer.h"
#include "engine/digest.h"
#include "engine/found_item.h"
#include "engine/pass_table.h"
#include "engine/scan_context.h"
#include "engine/strell_display.h"

namespace strellbox {

class StrellController : public ItemSink {
 public:
  explicit StrellController(StrellDisplay* display = nullptr);
  ~StrellController() override;
  StrellController(const StrellController&) = delete;
  StrellController& operator=(const StrellController&) = delete;

  void setDisplay(StrellDisplay* display);

  // --- Preferences (registered defaults) -------------------------------
  // Whether a pass runs under the current preferences.
  bool scanFor(PassId id) const;
  void setScanFor(PassId id, bool on) {
    setScanSetting(id, on ? PassDefault::kOn : PassDefault::kOff);
  }
  // kWithExtended: the pass runs while extended detection is on.
  PassDefault scanSetting(PassId id) const {
    return scanFlags_[static_cast<size_t>(id)].load(kRelaxed);
  }
  void setScanSetting(PassId id, PassDefault setting) {
    scanFlags_[static_cast<size_t>(id)].store(setting, kRelaxed);
  }
  // Every scan flag on or off at once.
  void setAllScans(bool on);
  bool extendedDetection() const { return extendedDetection_.load(kRelaxed); }
  void setExtendedDetection(bool on) { extendedDetection_.store(on, kRelaxed); }
  // What a scan reads of the preferences, taken once per file.
  ScanSettings scanSettings() const;
  bool dontSaveDuplicates() const { return dontSaveDuplicates_.load(kRelaxed); }
  int32_t saveRadioChosen() const { return saveRadioChosen_.load(kRelaxed); }
  std::string saveFolder() const;

  void setDontSaveDuplicates(bool on) { dontSaveDuplicates_.store(on, kRelaxed); }
  void setSaveRadioChosen(int32_t tag) { saveRadioChosen_.store(tag, kRelaxed); }
  void setSaveFolder(const std::string& folder);
  // Workers that scan the files of a job (and the passes of a large file)
  // concurrently; 0 means one per online processor, 1 scans on the job's
  // own thread alone. What is written is the same either way.
  int scanWorkers() const { return scanWorkers_.load(kRelaxed); }
  void setScanWorkers(int workers) { scanWorkers_.store(workers, kRelaxed); }
  // Report every item to the display without writing anything.
  bool listOnly() const { return listOnly_.load(kRelaxed); }
  void setListOnly(bool on) { listOnly_.store(on, kRelaxed); }

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
  bool stopStreller() const { return stopStreller_.load(kRelaxed); }
  void setStopStreller(bool stop) { stopStreller_.store(stop, kRelaxed); }
  void progressFromThread(double bytes);

  bool strelling() const { return strelling_.load(kRelaxed); }
  bool updateCounters() const { return updateCounters_.load(kRelaxed); }
  int32_t itemsToStrell() const { return itemsToStrell_.load(kRelaxed); }
  int32_t foundItems() const { return foundItems_.load(kRelaxed); }
  double bytesToStrell() const { return bytesToStrell_.load(kRelaxed); }
  void addBytesToStrell(double bytes);
  double strelledBytes() const { return strelledBytes_.load(kRelaxed); }
  void addStrelledBytes(double bytes);
  // Entries of this job read and scanned, and those passed over (special
  // files, unreadable, vanished); items dropped as repeats.
  int32_t filesScanned() const { return filesScanned_.load(kRelaxed); }
  int32_t filesSkipped() const { return filesSkipped_.load(kRelaxed); }
  int32_t duplicatesDropped() const { return duplicatesDropped_.load(kRelaxed); }
  void countDuplicateDropped() { duplicatesDropped_.fetch_add(1, kRelaxed); }
  // What decoders may still produce in this job, all files together, and
  // the charge for what one produced (false when over the cap). The cap
  // keeps a job over many hostile files finite; each file has its own,
  // smaller budget besides (DecodedBudget).
  static constexpr uint64_t kJobDecodedCap = uint64_t{64} << 30;
  uint64_t decodedBytesLeft() const;
  bool chargeDecodedBytes(uint64_t bytes);

  std::string currentlyStrelling() const;
  void setCurrentlyStrelling(const std::string& label);
  std::optional<std::string> strellerError() const;
  void setStrellerError(std::optional<std::string> message);

  const std::vector<std::string>& recentItems() const { return recentItems_; }
  void setRecentItems(std::vector<std::string> items) { recentItems_ = std::move(items); }

  // --- The dispatcher ------------------------------------------------------
  // Scans one buffer under the current preferences, its items going to
  // this controller's store.
  int32_t strellData(const Buffer& data, const std::string& from);
  int32_t fileTypeCount() const { return FileTypeCount(scanSettings()); }

  // --- The found-item store -------------------------------------------------
  // Reports one item as a pass would (see ScanContext::saveStrell).
  void saveStrell(const Buffer& data, uint64_t from, uint64_t length, std::string_view type,
                  std::string_view original, int32_t foundNo);
  void takeFoundItem(FoundItem item) override;
  bool alreadySaved(const ItemDigest& digest) const override;
  void queueFoundItem(FoundItem item);
  bool blinkImage(const Buffer& bytes);
  void writeFoundFiles() override;
  void calculateStrellOutputFolder(const std::vector<std::string>& paths);
  const std::string& strellOutputDirectory() const { return strellOutputDirectory_; }
  void setStrellOutputDirectory(const std::string& path);
  bool strellOutputDirectoryCreated() const { return strellOutputDirectoryCreated_; }
  const std::vector<FoundItem>& images() const { return images_; }
  // Records processed by the writer since the program started.
  static int32_t exportNo();

  // --- Test seams --------------------------------------------------------
  // Replaces the pass for a type key ("png", "flate", "silentflate", ...).
  using PassOverride =
      std::function<int32_t(ScanContext& context, const Buffer& data, const std::string& from)>;
  void setPassForTesting(const std::string& key, PassOverride pass);
  const PassOverride* passOverride(std::string_view key) const;
  // When set, every reported item goes here instead of into the store.
  using SaveObserver =
      std::function<void(const Buffer& data, uint64_t from, uint64_t length, std::string_view type,
                         std::string_view original, int32_t foundNo)>;
  void setSaveObserverForTesting(SaveObserver observer) { saveObserver_ = std::move(observer); }
  const SaveObserver& saveObserver() const { return saveObserver_; }

 private:
  static constexpr auto kRelaxed = std::memory_order_relaxed;

  void workerLoop(std::vector<std::string> paths);
  // What reading one entry gave: its bytes and the source name they are
  // scanned under. Touches no counter.
  struct EntryRead {
    Buffer data;
    std::string source;
    ReadStatus status = ReadStatus::kRead;
  };
  EntryRead readEntry(const std::string& path);
  // Counts the entry as scanned or passed over; true when it was read.
  bool accountEntry(const std::string& path, ReadStatus status);
  static std::string EntryLabel(const std::string& path);
  // The entry loop with several workers.
  void strellEntries(const std::vector<std::string>& entries, int workers);
  // Makes the output folder (and the desktop it goes into); a name taken
  // meanwhile gives way to the next numbered one.
  bool makeOutputFolder();
  // writeFoundFiles of a listing job: every waiting item to the display.
  void listFoundFiles();
  // Counts an entry passed over and tells the display.
  void skipEntry(const std::string& path, const std::string& reason, bool special);
  bool shuttingDown() const;
  StrellDisplay& display() { return *display_; }

  StrellDisplay nullDisplay_;
  StrellDisplay* display_;

  // Preferences.
  std::array<std::atomic<PassDefault>, kPassCount> scanFlags_;
  // The rules beyond the classic set find all that the classic rules find
  // and more, so they are what a job runs unless told otherwise.
  std::atomic<bool> extendedDetection_{true};
  std::atomic<bool> listOnly_{false};
  std::atomic<int> scanWorkers_{1};
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
  std::atomic<int32_t> filesScanned_{0};
  std::atomic<int32_t> filesSkipped_{0};
  std::atomic<int32_t> duplicatesDropped_{0};
  std::atomic<uint64_t> decodedBytes_{0};
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
  std::string strellOutputDirectory_;
  // The folder the output folder goes into, made when missing (the desktop).
  std::string outputParentToMake_;
  // Names given to items of a listing job, which writes nothing.
  std::unordered_set<std::string> listedNames_;
  bool strellOutputDirectoryCreated_ = false;
  std::vector<FoundItem> images_;
  // Written by the job's thread only; read by the workers too, which drop
  // an item saved already before holding its bytes back (alreadySaved).
  mutable std::shared_mutex digestsMutex_;
  std::unordered_set<ItemDigest, DigestHash> streamDigests_;

  // Main-thread state.
  std::vector<std::string> recentItems_;

  std::map<std::string, PassOverride, std::less<>> passOverrides_;
  SaveObserver saveObserver_;
};

}  // namespace strellbox
