// The job runner: one worker thread runs a request and then every request
// that arrived meanwhile. It expands folders into entries, reads them,
// scans them (on a pool when the preferences ask for more than one
// worker), keeps the counters the display shows, and takes the stop
// request.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/buffer.h"
#include "engine/found_item_store.h"

namespace strellbox {

class DisplayNotifier;
class JobReport;
class ScanPreferences;
class StrellController;

class ScanJob final : public JobControl {
 public:
  // `controller` is what the scans of this job report through (its
  // preferences, its store); the job keeps none of its own.
  ScanJob(StrellController& controller, const ScanPreferences& preferences,
          DisplayNotifier& notifier, JobReport& report, FoundItemStore& store);
  ~ScanJob();
  ScanJob(const ScanJob&) = delete;
  ScanJob& operator=(const ScanJob&) = delete;

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
  void failJob(const std::string& message) override;
  // Reports the bytes scanned so far; a report below one already made (a
  // thread that read the count before another, and got here after it) is
  // dropped, so that the bar never goes back within a job.
  void progressFromThread(double bytes);

  bool strelling() const { return strelling_.load(kRelaxed); }
  bool updateCounters() const { return updateCounters_.load(kRelaxed); }
  int32_t itemsToStrell() const { return itemsToStrell_.load(kRelaxed); }
  double bytesToStrell() const { return bytesToStrell_.load(kRelaxed); }
  // Added to by every worker of the job at once.
  void addBytesToStrell(double bytes) { bytesToStrell_.fetch_add(bytes, kRelaxed); }
  double strelledBytes() const { return strelledBytes_.load(kRelaxed); }
  void addStrelledBytes(double bytes) { strelledBytes_.fetch_add(bytes, kRelaxed); }
  // Entries of this job read and scanned, and those passed over (special
  // files, unreadable, vanished).
  int32_t filesScanned() const { return filesScanned_.load(kRelaxed); }
  int32_t filesSkipped() const { return filesSkipped_.load(kRelaxed); }
  // What decoders may still produce in this job, all files together, and
  // the charge for what one produced (false, and nothing charged, when it
  // does not fit). The cap keeps a job over many hostile files finite; each
  // file has its own, smaller budget besides (DecodedBudget).
  static constexpr uint64_t kJobDecodedCap = uint64_t{64} << 30;
  uint64_t decodedBytesLeft() const;
  bool chargeDecodedBytes(uint64_t bytes);

  std::string currentlyStrelling() const;
  void setCurrentlyStrelling(const std::string& label);
  std::optional<std::string> strellerError() const;
  void setStrellerError(std::optional<std::string> message);
  // Where the last job wrote its report, or "" when it wrote none.
  std::string reportPath() const;

  // The paths of the latest single-path requests, newest first (main thread).
  const std::vector<std::string>& recentItems() const { return recentItems_; }
  void setRecentItems(std::vector<std::string> items) { recentItems_ = std::move(items); }

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
  // Counts the entry as scanned (`size` bytes read) or passed over; true
  // when it was read.
  bool accountEntry(const std::string& path, ReadStatus status, uint64_t size);
  // The job's report: its figures, and report.xml in the output folder.
  void finishReport();
  static std::string EntryLabel(const std::string& path);
  // The entry loop with several workers.
  void strellEntries(const std::vector<std::string>& entries, int workers);
  // The workers the preferences ask for (0 there: one per online processor).
  int workerCount() const;
  // Counts an entry passed over and tells the display.
  void skipEntry(const std::string& path, const std::string& reason, bool special);
  bool shuttingDown() const;

  StrellController& controller_;
  const ScanPreferences& preferences_;
  DisplayNotifier& notifier_;
  JobReport& report_;
  FoundItemStore& store_;

  // Shared with the display thread.
  std::atomic<bool> strelling_{false};
  std::atomic<bool> stopStreller_{false};
  std::atomic<bool> updateCounters_{false};
  std::atomic<int32_t> itemsToStrell_{0};
  std::atomic<double> bytesToStrell_{0};
  std::atomic<double> strelledBytes_{0};
  std::atomic<int32_t> filesScanned_{0};
  std::atomic<int32_t> filesSkipped_{0};
  std::atomic<uint64_t> decodedBytes_{0};
  std::mutex progressMutex_;
  double progressShown_ = 0;  // the highest report of this job
  mutable std::mutex labelMutex_;
  std::string currentlyStrelling_;
  std::optional<std::string> strellerError_;
  std::string reportPath_;

  // The worker and its queue of requests.
  mutable std::mutex queueMutex_;
  std::condition_variable idle_;
  std::vector<std::string> strellQueue_;
  bool workerActive_ = false;
  bool shuttingDown_ = false;
  std::thread worker_;

  // Main-thread state.
  std::vector<std::string> recentItems_;
};

}  // namespace strellbox
