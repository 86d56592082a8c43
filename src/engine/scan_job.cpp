// The scan job: one worker thread runs a request and then every request
// that arrived meanwhile.
#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>

#include "engine/classify.h"
#include "engine/display_notifier.h"
#include "engine/evidence_file.h"
#include "engine/job_report.h"
#include "engine/localize.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/scan_job.h"
#include "engine/scan_pool.h"
#include "engine/scan_preferences.h"
#include "engine/strell_controller.h"

namespace strellbox {

namespace {

constexpr size_t kMaxRecentItems = 7;
// What the files in flight may hold back, in copied bytes, while they wait
// for the files before them to be committed.
constexpr uint64_t kEntryLaneBudget = uint64_t{8} << 20;
constexpr size_t kFilesAheadPerWorker = 512;
constexpr double kBigFileLogSize = 50000000.0;

constexpr const char* kReportError =
    "Could not save the report of the job in its output folder. Check for disk space";

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Calls `entry` for every file and folder below `root`, depth first, each
// folder's entries in the byte order of their names, so that a tree gives
// the same list on every file system and every run. Links to folders are
// listed but not followed, so a link loop cannot make the walk endless.
// A folder that cannot be listed goes to `unlisted`.
template <typename Entry, typename Unlisted, typename Stop>
void WalkFolder(const std::string& root, Entry entry, Unlisted unlisted, Stop stop) {
  // Folders still to list, and what is left of each listing (reversed, so
  // the next name is at the back).
  std::vector<std::vector<std::string>> pending;
  auto list = [&](const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
      unlisted(folder);
      return;
    }
    while (const dirent* e = ::readdir(dir)) {
      const std::string_view name = e->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), std::greater<>());
    const std::string prefix = folder == "/" ? folder : folder + "/";
    for (std::string& name : names) name.insert(0, prefix);
    pending.push_back(std::move(names));
  };
  list(root);
  while (!pending.empty() && !stop()) {
    if (pending.back().empty()) {
      pending.pop_back();
      continue;
    }
    const std::string full = std::move(pending.back().back());
    pending.back().pop_back();
    entry(full);
    struct stat st {};
    if (::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) list(full);
  }
}

// Size of the entry following links, or nothing when it cannot be read.
// A folder contributes no bytes to scan.
std::optional<double> EntrySize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  if (S_ISDIR(st.st_mode)) return 0.0;
  return static_cast<double>(static_cast<uint64_t>(st.st_size));
}

}  // namespace

ScanJob::ScanJob(StrellController& controller, const ScanPreferences& preferences,
                 DisplayNotifier& notifier, JobReport& report, FoundItemStore& store)
    : controller_(controller),
      preferences_(preferences),
      notifier_(notifier),
      report_(report),
      store_(store) {
  strellQueue_.reserve(100);
}

ScanJob::~ScanJob() { shutdown(); }

std::string ScanJob::currentlyStrelling() const {
  std::lock_guard<std::mutex> lock(labelMutex_);
  return currentlyStrelling_;
}

void ScanJob::setCurrentlyStrelling(const std::string& label) {
  std::lock_guard<std::mutex> lock(labelMutex_);
  currentlyStrelling_ = label;
}

std::optional<std::string> ScanJob::strellerError() const {
  std::lock_guard<std::mutex> lock(labelMutex_);
  return strellerError_;
}

void ScanJob::setStrellerError(std::optional<std::string> message) {
  std::lock_guard<std::mutex> lock(labelMutex_);
  strellerError_ = std::move(message);
}

std::string ScanJob::reportPath() const {
  std::lock_guard<std::mutex> lock(labelMutex_);
  return reportPath_;
}

void ScanJob::failJob(const std::string& message) {
  setStrellerError(message);
  stopStreller_.store(true, kRelaxed);
}

void ScanJob::progressFromThread(double bytes) {
  // Under the lock, so that reports reach the display in the order checked.
  std::lock_guard<std::mutex> lock(progressMutex_);
  if (bytes < progressShown_) return;
  progressShown_ = bytes;
  notifier_.progress(bytes, bytesToStrell_.load(kRelaxed), store_.foundItems());
}

// --- Starting a job (main thread) ------------------------------------------

void ScanJob::threadStrell(const std::vector<std::string>& paths) {
  const bool recent = paths.size() == 1 && std::find(recentItems_.begin(), recentItems_.end(),
                                                     paths[0]) == recentItems_.end();
  if (recent) {
    recentItems_.insert(recentItems_.begin(), paths[0]);
    if (recentItems_.size() > kMaxRecentItems) recentItems_.pop_back();
  }
  updateCounters_.store(true, kRelaxed);
  notifier_.requestArrived(recent);

  std::unique_lock<std::mutex> lock(queueMutex_);
  if (shuttingDown_) return;
  if (workerActive_) {
    // The running worker takes these over when its job ends.
    strellQueue_.insert(strellQueue_.end(), paths.begin(), paths.end());
    return;
  }
  // A finished worker has nothing left to do under the lock; joining it here
  // is immediate.
  if (worker_.joinable()) worker_.join();
  workerActive_ = true;
  worker_ = std::thread(&ScanJob::workerLoop, this, paths);
}

void ScanJob::workerLoop(std::vector<std::string> paths) {
  for (;;) {
    strell(paths);
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (strellQueue_.empty() || shuttingDown_) {
      strellQueue_.clear();
      workerActive_ = false;
      idle_.notify_all();
      return;
    }
    paths.swap(strellQueue_);
    strellQueue_.clear();
  }
}

bool ScanJob::jobActive() const {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return workerActive_;
}

void ScanJob::waitUntilIdle() {
  std::unique_lock<std::mutex> lock(queueMutex_);
  idle_.wait(lock, [this] { return !workerActive_; });
}

void ScanJob::requestShutdown() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    shuttingDown_ = true;
    strellQueue_.clear();
  }
  stopStreller_.store(true, kRelaxed);
}

void ScanJob::shutdown() {
  requestShutdown();
  if (worker_.joinable()) worker_.join();
}

// --- The job (worker thread) -----------------------------------------------

void ScanJob::strell(const std::vector<std::string>& requested) {
  // Absolute, normal paths: "." and "dir/" name their folders, and every
  // source and container names its file wherever the job was started.
  std::vector<std::string> paths;
  paths.reserve(requested.size());
  for (const std::string& path : requested) paths.push_back(NormalizedPath(path));

  setStrellerError(std::nullopt);
  strelling_.store(true, kRelaxed);
  stopStreller_.store(shuttingDown(), kRelaxed);
  store_.beginJob();
  const int workers = workerCount();
  report_.beginJob(preferences_, workers);
  filesScanned_.store(0, kRelaxed);
  filesSkipped_.store(0, kRelaxed);
  decodedBytes_.store(0, kRelaxed);

  notifier_.jobStarted();

  if (paths.empty()) {
    notifier_.nothingToScan();
  } else {
    store_.calculateStrellOutputFolder(paths);
    itemsToStrell_.store(0, kRelaxed);
    const std::vector<std::string> entries = directoryExpand(paths);
    const auto count = static_cast<int32_t>(entries.size());
    itemsToStrell_.store(count, kRelaxed);
    store_.resetFoundItems();
    {
      std::lock_guard<std::mutex> lock(progressMutex_);
      progressShown_ = 0;
    }
    progressFromThread(0.0);
    strelledBytes_.store(0, kRelaxed);
    if (workers > 1 && !entries.empty()) {
      strellEntries(entries, workers);
    } else {
      int32_t i = 0;
      for (const std::string& entry : entries) {
        if (stopStreller()) break;
        ++i;
        setCurrentlyStrelling(entry);
        strellOne(entry);
        progressFromThread(strelledBytes_.load(kRelaxed));
        itemsToStrell_.store(count - i, kRelaxed);
        if (store_.foundItems() != 0 && !stopStreller()) store_.writeFoundFiles();
      }
    }
  }

  store_.dropWaitingItems();
  finishReport();
  notifier_.jobEnded();
  strelling_.store(false, kRelaxed);

  // Requests that arrived during this job run now, before this job's report.
  std::vector<std::string> queued;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (!shuttingDown_) queued.swap(strellQueue_);
    strellQueue_.clear();
  }
  if (!queued.empty()) strell(queued);

  if (auto message = strellerError()) notifier_.reportError(*message);
  if (store_.strellOutputDirectoryCreated()) notifier_.openFolder(store_.strellOutputDirectory());
  updateCounters_.store(false, kRelaxed);
}

void ScanJob::finishReport() {
  const bool made = store_.strellOutputDirectoryCreated();
  JobEnding ending;
  if (made) ending.outputFolder = store_.strellOutputDirectory();
  ending.found = store_.foundItems();
  ending.filesSkipped = filesSkipped();
  ending.error = strellerError();
  ending.stopped = stopStreller() && !ending.error;
  report_.endJob(ending);
  std::string path;
  if (made && report_.collecting()) {
    if (auto written = report_.writeInto(store_.strellOutputDirectory()))
      path = *written;
    else
      failJob(Localized(kReportError));
  }
  std::lock_guard<std::mutex> lock(labelMutex_);
  reportPath_ = std::move(path);
}

bool ScanJob::shuttingDown() const {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return shuttingDown_;
}

std::vector<std::string> ScanJob::directoryExpand(const std::vector<std::string>& paths) {
  bytesToStrell_.store(0, kRelaxed);
  std::vector<std::string> result;
  result.reserve(100);
  notifier_.expanding(true);

  auto account = [this](const std::string& full) {
    if (auto size = EntrySize(full)) {
      if (*size > kBigFileLogSize) StrellLog(fmt::format("Big File:{}", full));
      addBytesToStrell(*size);
    } else {
      StrellLog(fmt::format("NoSized File:{}", full));
    }
  };

  for (const std::string& path : paths) {
    if (stopStreller()) break;
    if (IsFolder(path)) {
      if (itemsToStrell_.load(kRelaxed) != 0) itemsToStrell_.fetch_sub(1, kRelaxed);
      result.erase(std::remove(result.begin(), result.end(), path), result.end());
      WalkFolder(
          path,
          [&](const std::string& full) {
            account(full);
            result.push_back(full);
            itemsToStrell_.fetch_add(1, kRelaxed);
          },
          [this](const std::string& folder) { skipEntry(folder, "cannot be read", false); },
          [this] { return stopStreller(); });
    } else {
      result.push_back(path);
      account(path);
    }
  }

  if (preferences_.extendedDetection()) {
    // A disk image in segment files is one entry: its media.
    SegmentEntries sets = CollapseSegments(result);
    result = std::move(sets.entries);
    addBytesToStrell(sets.totalChange);
  }
  notifier_.expanding(false);
  if (stopStreller()) result.clear();
  return result;
}

void ScanJob::skipEntry(const std::string& path, const std::string& reason, bool special) {
  filesSkipped_.fetch_add(1, kRelaxed);
  notifier_.entrySkipped(path, reason, special);
}

std::string ScanJob::EntryLabel(const std::string& path) {
  const double size = EntrySize(path).value_or(0.0);
  const std::string name = LastPathComponent(path);
  if (size > 1048576.0)
    return fmt::format("{} ({} MB)", name, static_cast<int64_t>(size / 1048576));
  return fmt::format("{} ({} kB)", name, static_cast<int64_t>(size / 1024));
}

bool ScanJob::accountEntry(const std::string& path, ReadStatus status, uint64_t size) {
  switch (status) {
    case ReadStatus::kRead:
      filesScanned_.fetch_add(1, kRelaxed);
      report_.sourceRead(path, size);
      return true;
    case ReadStatus::kFolder:
      return false;  // its files are entries of their own
    case ReadStatus::kSpecial:
      skipEntry(path, "a FIFO, socket or device", true);
      return false;
    case ReadStatus::kVanished:
      skipEntry(path, "not found", false);
      return false;
    case ReadStatus::kNameTooLong:
      skipEntry(path, "name too long", false);
      return false;
    case ReadStatus::kUnreadable:
      skipEntry(path, "cannot be read", false);
      return false;
  }
  return false;
}

int ScanJob::workerCount() const {
  const int chosen = preferences_.scanWorkers();
  return chosen > 0 ? chosen : ScanPool::OnlineProcessors();
}

int32_t ScanJob::strellOne(const std::string& path) {
  const std::string label = EntryLabel(path);
  EntryRead entry = readEntry(path);
  setCurrentlyStrelling(label);
  if (!accountEntry(path, entry.status, entry.data.size())) return 0;
  return controller_.strellData(entry.data, entry.source);
}

ScanJob::EntryRead ScanJob::readEntry(const std::string& path) {
  EntryRead entry;
  if (preferences_.extendedDetection()) {
    // The media's first share of the total: the bar moves while it is read.
    const auto read = [this](uint64_t bytes) {
      addStrelledBytes(static_cast<double>(bytes));
      progressFromThread(strelledBytes_.load(kRelaxed));
    };
    if (auto media = ReadSegmentMedia(
            path, [this] { return stopStreller(); }, UINT64_MAX, workerCount(), read)) {
      entry.data = std::move(media->media);
      entry.status = media->status;
      entry.source = path;
      return entry;
    }
  }
  entry.data = Buffer::readFile(path, Buffer::kMapThreshold, &entry.status);
  const Buffer& data = entry.data;
  std::string source = path;
  if (PathExtension(path) == "cache" && data.size() > 51) {
    // A browser cache file keeps the URL it came from, after a length.
    for (uint64_t p = 2; p <= 255; ++p) {
      if (!data.startsWith(p, "http:")) continue;
      const uint64_t length =
          data.u8(p - 2) == 0x2B ? data.u8(p - 1) : uint64_t{data.u8(p - 2)} * 256 + data.u8(p - 1);
      if (p + length < data.size()) {
        const std::string component = LastPathComponent(data.view(p, length));
        if (component.size() <= 31 && IsWellKnownExtension(PathExtension(component)))
          source = component;
      }
      break;
    }
  }
  entry.source = std::move(source);
  return entry;
}

void ScanJob::strellEntries(const std::vector<std::string>& entries, int workers) {
  // One entry of the list on its way: its items wait in its lane until the
  // entries before it are committed.
  struct InFlight {
    InFlight(LaneBudget& budget, const ItemSink& store) : lane(budget, store) {}
    ItemLane lane;
    ReadStatus status = ReadStatus::kRead;
    uint64_t size = 0;
  };
  LaneBudget budget(kEntryLaneBudget);
  ScanPool pool(workers);
  const size_t count = entries.size();
  // Files submitted ahead of the one being committed. A worker reads one
  // file at a time, so no more than one buffer per worker is alive; the
  // files scanned but not committed yet hold only their items, within the
  // lanes' budget. The distance lets the workers go on past a long file
  // (a large mailbox, a disk image) instead of waiting for it.
  const size_t window = kFilesAheadPerWorker * static_cast<size_t>(workers);
  std::deque<std::unique_ptr<InFlight>> inFlight;  // entries [committed, submitted)
  size_t submitted = 0;
  auto submitUpTo = [&](size_t limit) {
    for (; submitted < std::min(limit, count) && !stopStreller(); ++submitted) {
      auto entry = std::make_unique<InFlight>(budget, store_);
      InFlight* e = entry.get();
      const std::string* path = &entries[submitted];
      pool.submit([this, e, path, &pool] {
        if (!stopStreller()) {
          EntryRead read = readEntry(*path);
          e->status = read.status;
          e->size = read.data.size();
          if (read.status == ReadStatus::kRead) {
            ScanContext context(controller_, e->lane, preferences_.scanSettings(), &pool);
            context.strellData(read.data, read.source);
          }
        }
        e->lane.finish();
      });
      inFlight.push_back(std::move(entry));
    }
  };

  // Committed in the order of the list, so that naming, duplicate winners
  // and every notice to the display are those of one worker.
  const auto stopped = [this] { return stopStreller(); };
  for (size_t i = 0; i < count && !stopStreller(); ++i) {
    submitUpTo(i + window);
    if (inFlight.empty()) break;
    setCurrentlyStrelling(EntryLabel(entries[i]));
    InFlight& e = *inFlight.front();
    e.lane.drainInto(store_, stopped);
    accountEntry(entries[i], e.status, e.size);
    inFlight.pop_front();
    progressFromThread(strelledBytes_.load(kRelaxed));
    itemsToStrell_.store(static_cast<int32_t>(count - i - 1), kRelaxed);
    if (store_.foundItems() != 0 && !stopStreller()) store_.writeFoundFiles();
  }
  // After a stop the entries still in flight end at their next candidate;
  // what they found is dropped.
  for (auto& e : inFlight) e->lane.drainInto(store_, [] { return true; });
}

uint64_t ScanJob::decodedBytesLeft() const {
  const uint64_t spent = decodedBytes_.load(kRelaxed);
  return spent < kJobDecodedCap ? kJobDecodedCap - spent : 0;
}

bool ScanJob::chargeDecodedBytes(uint64_t bytes) {
  uint64_t spent = decodedBytes_.load(kRelaxed);
  do {
    if (spent > kJobDecodedCap || bytes > kJobDecodedCap - spent) return false;
  } while (!decodedBytes_.compare_exchange_weak(spent, spent + bytes, kRelaxed));
  return true;
}

}  // namespace strellbox
