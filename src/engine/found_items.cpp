// The found-item store: duplicate suppression, naming, the preview hand-off,
// and the writer that puts every waiting item into the job's output folder.
#include <errno.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "engine/localize.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/platform.h"
#include "engine/strell_controller.h"

namespace strellbox {

namespace {

std::atomic<int32_t> gExportNo{0};

// Longest item name kept; leaves room for "-N" and an extension within the
// file system's 255-byte limit on a name.
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
  if (safe.size() > kMaxNameBytes) {
    size_t cut = kMaxNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(safe[cut]) & 0xC0) == 0x80) --cut;
    safe.resize(cut);
  }
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
  bool ok = WriteAll(fd, bytes.data(), bytes.size());
  ok = (::fchmod(fd, 0644) == 0) && ok;
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

int32_t StrellController::exportNo() { return gExportNo.load(std::memory_order_relaxed); }

void StrellController::saveStrell(const Buffer& data, uint64_t from, uint64_t length,
                                  std::string_view type, std::string_view original,
                                  int32_t foundNo) {
  if (saveObserver_) {
    saveObserver_(data, from, length, type, original, foundNo);
    return;
  }
  if (from > data.size()) from = data.size();
  if (length > data.size() - from) StrellLog("Check request too long");
  // Keyed by a whole collision-resistant digest: two different items never
  // count as one.
  if (dontSaveDuplicates() && !streamDigests_.insert(itemDigest(data, from, length)).second) return;
  length = std::min(length, data.size() - from);

  FoundItem item;
  // An item of a mapped file shares the read-only mapping until it is
  // written (at the latest after its entry), so a large item costs no
  // anonymous memory; an item of bytes in memory gets its own copy, so a
  // small item does not keep a large decoded buffer alive.
  item.data = data.isMapped() ? data.slice(from, length) : data.copy(from, length);
  item.type = std::string(type);
  const std::string base = DeletingPathExtension(LastPathComponent(original));
  item.name = foundNo > 0 ? fmt::format("{}-{}", base, foundNo) : base;
  item.source = std::string(original);
  const Buffer bytes = item.data;
  queueFoundItem(std::move(item));

  if (type == "gif" || type == "jpg" || type == "png" || type == "tiff" ||
      (type == "pdf" && IsPanther()))
    blinkImage(bytes);
}

void StrellController::queueFoundItem(FoundItem item) {
  images_.push_back(std::move(item));
  foundItems_.fetch_add(1, kRelaxed);
}

bool StrellController::blinkImage(const Buffer& bytes) {
  display_->blinkData(bytes);
  writeFoundFiles();
  return true;
}

void StrellController::writeFoundFiles() {
  if (!strellOutputDirectoryCreated_) {
    strellOutputDirectoryCreated_ = ::mkdir(strellOutputDirectory_.c_str(), 0777) == 0;
    if (!strellOutputDirectoryCreated_) {
      setStrellerError(Localized(kFolderError));
      stopStreller_.store(true, kRelaxed);
    }
  }
  for (FoundItem& item : images_) {
    if (stopStreller()) break;
    std::string name = SafeItemName(item.name);
    if (name.empty()) name = fmt::format("Strell-{}", exportNo());
    std::string path = item.type.empty()
                           ? fmt::format("{}/{}", strellOutputDirectory_, name)
                           : fmt::format("{}/{}.{}", strellOutputDirectory_, name, item.type);
    if (PathExists(path)) path = UniquePathName(path);
    if (auto written = WriteAtomically(strellOutputDirectory_, path, item.data)) {
      display_->fileWritten(*written, item.type, item.data.size(), item.source);
    } else {
      setStrellerError(Localized(kSaveError));
      stopStreller_.store(true, kRelaxed);
    }
    item.data = Buffer();
    gExportNo.fetch_add(1, std::memory_order_relaxed);
  }
  images_.clear();
}

void StrellController::calculateStrellOutputFolder(const std::vector<std::string>& paths) {
  std::string folder;
  switch (saveRadioChosen()) {
    case 1:
      folder = paths.empty()
                   ? std::string("Strell")
                   : fmt::format("{} Strell",
                                 DeletingPathExtension(DeletingPathExtension(paths.back())));
      break;
    case 2:
      folder = paths.size() == 1 ? fmt::format("{}/{} Strell", saveFolder(),
                                               DeletingPathExtension(LastPathComponent(paths[0])))
                                 : fmt::format("{}/Strell", saveFolder());
      break;
    default:
      folder = paths.size() == 1 ? fmt::format("~/Desktop/{} Strell",
                                               DeletingPathExtension(LastPathComponent(paths[0])))
                                 : std::string("~/Desktop/Strell");
      break;
  }
  setStrellOutputDirectory(UniquePathName(ExpandTilde(folder)));
}

void StrellController::setStrellOutputDirectory(const std::string& path) {
  strellOutputDirectory_ = path;
  strellOutputDirectoryCreated_ = false;
}

}  // namespace strellbox
