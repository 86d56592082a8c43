// The found-item store: duplicate suppression, naming, the preview hand-off,
// and the writer that puts every waiting item into the job's output folder.
// It serves one job at a time, on the job's thread.
#include "engine/found_item_store.h"

#include <errno.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include "engine/display_notifier.h"
#include "engine/localize.h"
#include "engine/log.h"
#include "engine/pass_table.h"
#include "engine/paths.h"
#include "engine/platform.h"
#include "engine/scan_preferences.h"

namespace strellbox {

namespace {

// Longest item or output-folder name kept; leaves room for "-N", an
// extension or " Strell" within the file system's 255-byte limit on a name.
constexpr size_t kMaxNameBytes = 200;

constexpr const char* kFolderError =
    "Could not make a new folder for the strelled files. Check the preferences";
constexpr const char* kSaveError =
    "Could not save a found file. Check for disk space, and where the file is set to be saved in "
    "the preferences";

// A name usable as one file name inside the output folder: only its last
// path component, control bytes replaced, not longer than kMaxNameBytes
// (cut at a UTF-8 character boundary). Empty when nothing usable is left.
std::string SafeItemName(const std::string& name) {
  const size_t slash = name.find_last_of('/');
  std::string safe(name, slash == std::string::npos ? 0 : slash + 1);
  for (char& c : safe) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '_';
  }
  safe = FitName(std::move(safe), kMaxNameBytes);
  if (safe == "." || safe == "..") safe.clear();
  return safe;
}

bool WriteAll(int fd, const uint8_t* p, uint64_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, static_cast<size_t>(std::min<uint64_t>(n, 1 << 30)));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<uint64_t>(w);
  }
  return true;
}

// Writes the bytes to a temporary file beside `path` and moves it into
// place without replacing anything that appeared there meanwhile (then the
// next free numbered name is taken). Returns the final path, or nothing.
std::optional<std::string> WriteAtomically(const std::string& folder, std::string path,
                                           const Buffer& bytes) {
  std::string temp = folder + "/.strell-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return std::nullopt;
  SetPendingTemporaryFile(temp.c_str());
  struct Cleared {
    ~Cleared() { ClearPendingTemporaryFile(); }
  } cleared;
  bool ok = WriteAll(fd, bytes.data(), bytes.size());
  ok = (::fchmod(fd, FileCreationMode()) == 0) && ok;
  ok = (::close(fd) == 0) && ok;
  if (ok) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
      if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
        return path;
      if (errno == EEXIST) {
        path = UniquePathName(path);
        continue;
      }
      if (errno == EINVAL || errno == ENOSYS) {
        // The file system cannot refuse to replace; the name was free a
        // moment ago, which is the best this file system allows.
        if (::rename(temp.c_str(), path.c_str()) == 0) return path;
      }
      break;
    }
  }
  ::unlink(temp.c_str());
  return std::nullopt;
}

}  // namespace

// Items of these types are offered to the preview: those of the passes
// whose images it shows, and TIFF images found inside other data.
bool PreviewsType(std::string_view type) {
  if (type == "tiff") return true;
  for (const PassRow& row : PassTable())
    if (!row.previewType.empty() && row.previewType == type) return true;
  return false;
}

FoundItemStore::FoundItemStore(const ScanPreferences& preferences, DisplayNotifier& notifier,
                               JobControl& job)
    : preferences_(preferences), notifier_(notifier), job_(job) {
  images_.reserve(100);
}

void FoundItemStore::beginJob() {
  {
    std::unique_lock<std::shared_mutex> lock(digestsMutex_);
    streamDigests_ = {};
    streamDigests_.reserve(10000);
  }
  listedNames_.clear();
  duplicatesDropped_.store(0, kRelaxed);
  exportNo_ = 0;
}

bool FoundItemStore::alreadySaved(const ItemDigest& digest) const {
  std::shared_lock<std::shared_mutex> lock(digestsMutex_);
  return streamDigests_.count(digest) != 0;
}

void FoundItemStore::takeFoundItem(FoundItem item) {
  // Keyed by a whole collision-resistant digest: two different items never
  // count as one.
  bool repeated = false;
  if (preferences_.dontSaveDuplicates()) {
    std::unique_lock<std::shared_mutex> lock(digestsMutex_);
    repeated = !streamDigests_.insert(item.digest).second;
  }
  if (repeated) {
    countDuplicateDropped();
    return;
  }
  const bool preview = PreviewsType(item.type);
  const Buffer bytes = item.data;
  queueFoundItem(std::move(item));
  if (preview) blinkImage(bytes);
}

void FoundItemStore::queueFoundItem(FoundItem item) {
  images_.push_back(std::move(item));
  foundItems_.fetch_add(1, kRelaxed);
}

bool FoundItemStore::blinkImage(const Buffer& bytes) {
  notifier_.preview(bytes);
  writeFoundFiles();
  return true;
}

bool FoundItemStore::makeOutputFolder() {
  if (!outputParentToMake_.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(outputParentToMake_, ec);
  }
  // Another job (or program) may take the name between the choice and
  // this moment: the next numbered name is taken then.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    if (::mkdir(strellOutputDirectory_.c_str(), 0777) == 0) return true;
    if (errno != EEXIST) return false;
    strellOutputDirectory_ = UniquePathName(strellOutputDirectory_);
  }
  return false;
}

void FoundItemStore::writeFoundFiles() {
  if (preferences_.listOnly()) {
    listFoundFiles();
    return;
  }
  if (!strellOutputDirectoryCreated_) {
    strellOutputDirectoryCreated_ = makeOutputFolder();
    if (!strellOutputDirectoryCreated_) job_.failJob(Localized(kFolderError));
  }
  for (FoundItem& item : images_) {
    if (job_.stopStreller()) break;
    const std::string name = itemName(item);
    std::string path = item.type.empty()
                           ? fmt::format("{}/{}", strellOutputDirectory_, name)
                           : fmt::format("{}/{}.{}", strellOutputDirectory_, name, item.type);
    if (PathExists(path)) path = UniquePathName(path);
    if (auto written = WriteAtomically(strellOutputDirectory_, path, item.data)) {
      notifier_.fileWritten(*written, LastPathComponent(*written), item);
    } else {
      job_.failJob(Localized(kSaveError));
    }
    item.data = Buffer();
    ++exportNo_;
  }
  images_.clear();
}

void FoundItemStore::listFoundFiles() {
  // The names a real run would give in a new folder, numbered the same way.
  for (FoundItem& item : images_) {
    if (job_.stopStreller()) break;
    const std::string name = itemName(item);
    std::string file = item.type.empty() ? name : fmt::format("{}.{}", name, item.type);
    for (int i = 1; listedNames_.count(file) != 0; ++i)
      file = item.type.empty() ? fmt::format("{}-{}", name, i)
                               : fmt::format("{}-{}.{}", name, i, item.type);
    listedNames_.insert(file);
    notifier_.fileWritten(std::string(), file, item);
    item.data = Buffer();
    ++exportNo_;
  }
  images_.clear();
}

std::string FoundItemStore::itemName(const FoundItem& item) const {
  std::string name = SafeItemName(item.name);
  if (name.empty()) name = fmt::format("Strell-{}", exportNo_);
  return name;
}

void FoundItemStore::calculateStrellOutputFolder(const std::vector<std::string>& paths) {
  // A folder named after one source keeps within the limit on a name.
  auto named = [&](const std::string& path) {
    return FitName(DeletingPathExtension(LastPathComponent(path)), kMaxNameBytes);
  };
  std::string folder;
  outputParentToMake_.clear();
  switch (preferences_.saveRadioChosen()) {
    case 1:
      if (paths.empty()) {
        folder = "Strell";
      } else {
        const std::string beside = DeletingPathExtension(DeletingPathExtension(paths.back()));
        const size_t slash = beside.rfind('/');
        folder = slash == std::string::npos
                     ? fmt::format("{} Strell", FitName(beside, kMaxNameBytes))
                     : fmt::format("{}/{} Strell", beside.substr(0, slash),
                                   FitName(beside.substr(slash + 1), kMaxNameBytes));
      }
      break;
    case 2:
      folder = paths.size() == 1
                   ? fmt::format("{}/{} Strell", preferences_.saveFolder(), named(paths[0]))
                   : fmt::format("{}/Strell", preferences_.saveFolder());
      break;
    default: {
      const std::string desktop = DesktopFolder();
      outputParentToMake_ = desktop;
      folder = paths.size() == 1 ? fmt::format("{}/{} Strell", desktop, named(paths[0]))
                                 : fmt::format("{}/Strell", desktop);
      break;
    }
  }
  setStrellOutputDirectory(UniquePathName(ExpandTilde(folder)));
}

void FoundItemStore::setStrellOutputDirectory(const std::string& path) {
  strellOutputDirectory_ = path;
  strellOutputDirectoryCreated_ = false;
}

}  // namespace strellbox
