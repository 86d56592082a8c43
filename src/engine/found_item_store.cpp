// The found-item store: duplicate suppression, naming, the preview hand-off,
// and the writer that puts every waiting item into the job's output folder.
// It serves one job at a time, on the job's thread.
#include "engine/found_item_store.h"

#include <errno.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include "engine/atomic_file.h"
#include "engine/display_notifier.h"
#include "engine/job_report.h"
#include "engine/localize.h"
#include "engine/log.h"
#include "engine/pass_table.h"
#include "engine/paths.h"
#include "engine/picture_size.h"
#include "engine/platform.h"
#include "engine/scan_preferences.h"

namespace strellbox {

namespace {

// Longest item or output-folder name kept; leaves room for "-N", an
// extension or " Strell" within the file system's 255-byte limit on a name.
constexpr size_t kMaxNameBytes = 200;
// Records that may wait to be written: beyond this many, what waits is
// written at once, so that a file of many repeats (records without bytes)
// holds no more than this many back.
constexpr size_t kMaxWaitingRecords = 4096;

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
                               JobReport& report, JobControl& job)
    : preferences_(preferences), notifier_(notifier), report_(report), job_(job) {
  images_.reserve(100);
}

void FoundItemStore::beginJob() {
  {
    std::unique_lock<std::shared_mutex> lock(digestsMutex_);
    streamDigests_ = {};
    streamDigests_.reserve(10000);
  }
  copies_ = {};
  listedNames_.clear();
  duplicatesDropped_.store(0, kRelaxed);
  itemsFiltered_.store(0, kRelaxed);
  exportNo_ = 0;
}

bool FoundItemStore::alreadySaved(const ItemDigest& digest) const {
  std::shared_lock<std::shared_mutex> lock(digestsMutex_);
  return streamDigests_.count(digest) != 0;
}

std::optional<ItemFilter> FoundItemStore::filterOf(const FoundItem& item) const {
  const uint64_t least = preferences_.minItemSize(), most = preferences_.maxItemSize();
  if (least > 0 && item.size < least) return ItemFilter::kMinSize;
  if (most > 0 && item.size > most) return ItemFilter::kMaxSize;
  const uint32_t width = preferences_.minPictureWidth(), height = preferences_.minPictureHeight();
  if (width > 0 || height > 0) {
    // A picture whose header cannot be read is kept.
    const std::optional<PictureSize> size = PictureSizeOf(item.data);
    if (size && (size->width < width || size->height < height)) return ItemFilter::kMinPixels;
  }
  return std::nullopt;
}

void FoundItemStore::takeFoundItem(FoundItem item) {
  if (!item.repeat) {
    item.size = item.data.size();
    // Bytes a filter refuses never count as saved, so their repeats are
    // refused the same way.
    if (const std::optional<ItemFilter> filter = filterOf(item)) {
      itemsFiltered_.fetch_add(1, kRelaxed);
      report_.itemFiltered(item);
      if (preferences_.listOnly()) {
        item.filtered = filter;
        images_.push_back(std::move(item));
      }
      return;
    }
    // Keyed by a whole collision-resistant digest: two different items
    // never count as one.
    if (preferences_.dontSaveDuplicates()) {
      std::unique_lock<std::shared_mutex> lock(digestsMutex_);
      item.repeat = !streamDigests_.insert(item.digest).second;
    }
  }
  if (item.repeat) {
    // Reported in its turn, where its first copy went.
    duplicatesDropped_.fetch_add(1, kRelaxed);
    item.data = item.data.withoutBytes();
    images_.push_back(std::move(item));
    if (images_.size() >= kMaxWaitingRecords) writeFoundFiles();
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
    if (item.repeat) {
      repeatDone(item);
      continue;
    }
    const std::string name = itemName(item);
    std::string path = item.type.empty()
                           ? fmt::format("{}/{}", strellOutputDirectory_, name)
                           : fmt::format("{}/{}.{}", strellOutputDirectory_, name, item.type);
    if (PathExists(path)) path = UniquePathName(path);
    const Buffer& bytes = item.data;
    if (auto written = WriteFileAtomically(strellOutputDirectory_, path, [&bytes](int fd) {
          return WriteAll(fd, bytes.data(), bytes.size());
        })) {
      itemDone(item, *written, LastPathComponent(*written));
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
    if (item.repeat) {
      repeatDone(item);
      continue;
    }
    const std::string name = itemName(item);
    std::string file = item.type.empty() ? name : fmt::format("{}.{}", name, item.type);
    if (item.filtered) {
      // Never written, so it takes no name from the items that would be.
      if (preferences_.reportMd5()) item.md5 = md5Full(item.data, 0, item.data.size());
      notifier_.itemFiltered(item, file);
      report_.itemListedFiltered(item, file);
      item.data = Buffer();
      continue;
    }
    for (int i = 1; listedNames_.count(file) != 0; ++i)
      file = item.type.empty() ? fmt::format("{}-{}", name, i)
                               : fmt::format("{}-{}.{}", name, i, item.type);
    listedNames_.insert(file);
    itemDone(item, std::string(), file);
    item.data = Buffer();
    ++exportNo_;
  }
  images_.clear();
}

void FoundItemStore::itemDone(FoundItem& item, const std::string& path, const std::string& file) {
  if (preferences_.reportMd5()) item.md5 = md5Full(item.data, 0, item.data.size());
  notifier_.fileWritten(path, file, item);
  report_.itemWritten(path, file, item);
  if (preferences_.dontSaveDuplicates())
    copies_[item.digest] = {path.empty() ? file : path, item.md5};
}

void FoundItemStore::repeatDone(FoundItem& item) {
  const auto copy = copies_.find(item.digest);
  // Its first copy was not written (the job stopped): nor is anything said of it.
  if (copy == copies_.end()) return;
  item.md5 = copy->second.md5;
  notifier_.itemRepeated(item, copy->second.file);
  report_.itemRepeated(item, copy->second.file);
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
