// The scan job: one worker thread, owned by the controller, runs a request
// and then every request that arrived meanwhile.
#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "engine/classify.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/strell_controller.h"

namespace strellbox {

namespace {

constexpr size_t kMaxRecentItems = 7;
constexpr double kBigFileLogSize = 50000000.0;

// Size of the entry following links, or nothing when it cannot be read.
// A folder contributes no bytes to scan.
std::optional<double> EntrySize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  if (S_ISDIR(st.st_mode)) return 0.0;
  return static_cast<double>(static_cast<uint64_t>(st.st_size));
}

}  // namespace

StrellController::StrellController(StrellDisplay* display)
    : display_(display ? display : &nullDisplay_) {
  images_.reserve(100);
  strellQueue_.reserve(100);
}

StrellController::~StrellController() { shutdown(); }

void StrellController::setDisplay(StrellDisplay* display) {
  display_ = display ? display : &nullDisplay_;
}

std::string StrellController::saveFolder() const {
  std::lock_guard<std::mutex> lock(saveFolderMutex_);
  return saveFolder_;
}

void StrellController::setSaveFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(saveFolderMutex_);
  saveFolder_ = folder;
}

void StrellController::setAllScans(bool on) {
  for (auto* flag :
       {&scanForPDF_, &scanForJPEG_, &scanForGIF_, &scanForPNG_, &scanForFlash_, &scanForBase64_,
        &scanForBmp_, &scanForWav_, &scanForFlate_, &scanForASCII_, &scanForHTML_})
    flag->store(on, kRelaxed);
}

std::string StrellController::currentlyStrelling() const {
  std::lock_guard<std::mutex> lock(labelMutex_);
  return currentlyStrelling_;
}

void StrellController::setCurrentlyStrelling(const std::string& label) {
  std::lock_guard<std::mutex> lock(labelMutex_);
  currentlyStrelling_ = label;
}

std::optional<std::string> StrellController::strellerError() const {
  std::lock_guard<std::mutex> lock(labelMutex_);
  return strellerError_;
}

void StrellController::setStrellerError(std::optional<std::string> message) {
  std::lock_guard<std::mutex> lock(labelMutex_);
  strellerError_ = std::move(message);
}

void StrellController::addBytesToStrell(double bytes) {
  bytesToStrell_.store(bytesToStrell_.load(kRelaxed) + bytes, kRelaxed);
}

void StrellController::progressFromThread(double bytes) {
  display_->progressFromThread(bytes, bytesToStrell_.load(kRelaxed), foundItems_.load(kRelaxed));
}

void StrellController::subProgress(double fraction) {
  progressFromThread(strelledBytes_.load(kRelaxed) +
                     subProgressBytesToStrell_.load(kRelaxed) * fraction / fileTypeCount());
}

// --- Starting a job (main thread) ------------------------------------------

void StrellController::threadStrell(const std::vector<std::string>& paths) {
  if (paths.size() == 1 &&
      std::find(recentItems_.begin(), recentItems_.end(), paths[0]) == recentItems_.end()) {
    recentItems_.insert(recentItems_.begin(), paths[0]);
    if (recentItems_.size() > kMaxRecentItems) recentItems_.pop_back();
    display_->setupRecentMenu();
  }
  display_->clearPreview();
  updateCounters_.store(true, kRelaxed);
  display_->startCounterRefresh();

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
  worker_ = std::thread(&StrellController::workerLoop, this, paths);
}

void StrellController::workerLoop(std::vector<std::string> paths) {
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

bool StrellController::jobActive() const {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return workerActive_;
}

void StrellController::waitUntilIdle() {
  std::unique_lock<std::mutex> lock(queueMutex_);
  idle_.wait(lock, [this] { return !workerActive_; });
}

void StrellController::requestShutdown() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    shuttingDown_ = true;
    strellQueue_.clear();
  }
  stopStreller_.store(true, kRelaxed);
}

void StrellController::shutdown() {
  requestShutdown();
  if (worker_.joinable()) worker_.join();
}

// --- The job (worker thread) -----------------------------------------------

void StrellController::strell(const std::vector<std::string>& paths) {
  setStrellerError(std::nullopt);
  strelling_.store(true, kRelaxed);
  stopStreller_.store(shuttingDown(), kRelaxed);
  streamDigests_ = {};
  streamDigests_.reserve(10000);

  display_->setStopEnabled(true);
  display_->setHiddenJag(false);

  if (paths.empty()) {
    display_->setFoundCount(0);
  } else {
    calculateStrellOutputFolder(paths);
    itemsToStrell_.store(0, kRelaxed);
    const std::vector<std::string> entries = directoryExpand(paths);
    const auto count = static_cast<int32_t>(entries.size());
    itemsToStrell_.store(count, kRelaxed);
    foundItems_.store(0, kRelaxed);
    progressFromThread(0.0);
    strelledBytes_.store(0, kRelaxed);
    int32_t i = 0;
    for (const std::string& entry : entries) {
      if (stopStreller()) break;
      ++i;
      setCurrentlyStrelling(entry);
      strellOne(entry);
      progressFromThread(strelledBytes_.load(kRelaxed));
      itemsToStrell_.store(count - i, kRelaxed);
      if (foundItems_.load(kRelaxed) != 0 && !stopStreller()) writeFoundFiles();
    }
  }

  images_.clear();
  display_->setStopEnabled(false);
  display_->progressFinish();
  strelling_.store(false, kRelaxed);

  // Requests that arrived during this job run now, before this job's report.
  std::vector<std::string> queued;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (!shuttingDown_) queued.swap(strellQueue_);
    strellQueue_.clear();
  }
  if (!queued.empty()) strell(queued);

  if (auto message = strellerError()) display_->reportStrellerError(*message);
  if (strellOutputDirectoryCreated_) display_->openFolder(strellOutputDirectory_);
  updateCounters_.store(false, kRelaxed);
}

bool StrellController::shuttingDown() const {
  std::lock_guard<std::mutex> lock(queueMutex_);
  return shuttingDown_;
}

std::vector<std::string> StrellController::directoryExpand(const std::vector<std::string>& paths) {
  namespace fs = std::filesystem;
  bytesToStrell_.store(0, kRelaxed);
  std::vector<std::string> result;
  result.reserve(100);
  display_->setIndeterminate(true);

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
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
      if (itemsToStrell_.load(kRelaxed) != 0) itemsToStrell_.fetch_sub(1, kRelaxed);
      result.erase(std::remove(result.begin(), result.end(), path), result.end());
      // Symbolic links to folders are listed but not descended into, so a
      // link loop cannot make the walk endless.
      fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
      for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (stopStreller()) break;
        const std::string full = it->path().string();
        account(full);
        result.push_back(full);
        itemsToStrell_.fetch_add(1, kRelaxed);
      }
    } else {
      result.push_back(path);
      account(path);
    }
  }

  display_->setIndeterminate(false);
  if (stopStreller()) result.clear();
  return result;
}

int32_t StrellController::strellOne(const std::string& path) {
  const double size = EntrySize(path).value_or(0.0);
  const std::string name = LastPathComponent(path);
  std::string label;
  if (size > 2000000.0 || size > 1048576.0)
    label = fmt::format("{} ({} MB)", name, static_cast<int64_t>(size / 1048576));
  else
    label = fmt::format("{} ({} kB)", name, static_cast<int64_t>(size / 1024));
  const Buffer data = Buffer::readFile(path);
  setCurrentlyStrelling(label);

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
  return strellData(data, source);
}

}  // namespace strellbox
