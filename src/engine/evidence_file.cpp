#include "engine/evidence_file.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <libewf.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <system_error>
#include <thread>

#include "engine/log.h"
#include "engine/paths.h"

namespace strellbox {

namespace {

namespace fs = std::filesystem;

// What is read from the set at once: a whole number of the usual chunk
// sizes (32 KiB), large enough that a call's overhead does not count.
constexpr size_t kReadBlock = size_t{4} << 20;
// Handles reading one evidence file at once, each on a thread of its own.
constexpr int kMaxReaders = 8;
// Room left free in the temporary folder beside the media, so that the
// scan does not fill the disk the system itself writes to.
constexpr uint64_t kFreeSpaceMargin = uint64_t{64} << 20;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool Alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// The extension of the set's first segment that a segment's extension
// belongs to ("e01" for "E07" or "EAB", "ex01" for "Ex12", "001" for
// "004"), lower case, or "" for an extension of no segment. `later` says
// whether it names a later segment rather than the first.
std::string FirstExtensionOf(const std::string& extension, bool& later) {
  const std::string ext = Lower(extension);
  later = false;
  if (ext.size() >= 3 && ext.size() <= 6 && AllDigits(ext)) {
    const std::string first = std::string(ext.size() - 1, '0') + "1";
    if (ext == std::string(ext.size(), '0')) return "";
    later = ext != first;
    return first;
  }
  // Evidence files count E01…E99, then EAA…EZZ, FAA… up to ZZZ.
  if (ext.size() == 3 && ext[0] >= 'e' && ext[0] <= 'z' && Alnum(ext[1]) && Alnum(ext[2])) {
    later = ext != "e01";
    return "e01";
  }
  if (ext.size() == 4 && ext[0] >= 'e' && ext[0] <= 'z' && ext[1] == 'x' && Alnum(ext[2]) &&
      Alnum(ext[3])) {
    later = ext != "ex01";
    return "ex01";
  }
  return "";
}

// The key that a set's segments share: the first segment's path, lower
// case in its extension.
std::string SetKey(const std::string& path, const std::string& firstExtension) {
  return DeletingPathExtension(path) + "." + firstExtension;
}

bool IsRegularFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

// The raw segments that follow `first` (".001"), in order, up to the first
// number with no file.
std::vector<std::string> RawSegments(const std::string& first) {
  const std::string stem = DeletingPathExtension(first);
  const size_t width = PathExtension(first).size();
  std::vector<std::string> segments;
  for (uint64_t n = 1;; ++n) {
    std::string path = fmt::format("{}.{:0{}}", stem, n, width);
    if (!IsRegularFile(path)) break;
    segments.push_back(std::move(path));
  }
  return segments;
}

// The numbers of the raw segments beside `first` (its own 1 among them),
// in order: the files of the same stem whose extension is that many digits.
std::vector<uint64_t> RawSegmentNumbers(const std::string& first) {
  const std::string stem = DeletingPathExtension(first);
  const size_t width = PathExtension(first).size();
  std::vector<uint64_t> numbers;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(first).parent_path(), ec)) {
    const std::string path = entry.path().string();
    const std::string ext = PathExtension(path);
    if (DeletingPathExtension(path) != stem || ext.size() != width || !AllDigits(ext)) continue;
    numbers.push_back(std::stoull(ext));
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? 0 : static_cast<uint64_t>(size);
}

// Where the media comes from: libewf's handle or the raw segments in turn.
class MediaSource {
 public:
  virtual ~MediaSource() = default;
  virtual uint64_t size() const = 0;
  // Reads n bytes at the offset; false (and the reason logged) on an I/O error.
  virtual bool read(uint64_t offset, uint8_t* into, size_t n) = 0;
  // Logs what the set lacks or what did not check out, once it was read.
  virtual void reportDamage() {}
  // Another reader of the same set, to read another part of the media on
  // another thread; nothing where that would not be faster.
  virtual std::unique_ptr<MediaSource> another() const { return nullptr; }
  // Where the media is taken as zeros from on (past the end: nowhere).
  virtual uint64_t zerosFrom() const { return UINT64_MAX; }
  virtual void setZerosFrom(uint64_t) {}
};

std::string EwfErrorText(libewf_error_t*& error) {
  if (!error) return "unknown error";
  char text[512] = {};
  libewf_error_sprint(error, text, sizeof text);
  libewf_error_free(&error);
  return text;
}

class EwfSource final : public MediaSource {
 public:
  // Another reader (not `primary`) leaves the missing segments to the
  // first one to report.
  explicit EwfSource(std::string first, bool primary = true)
      : first_(std::move(first)), primary_(primary) {}
  ~EwfSource() override {
    libewf_error_t* error = nullptr;
    if (open_) libewf_handle_close(handle_, &error);
    if (handle_) libewf_handle_free(&handle_, &error);
    if (names_) libewf_glob_free(names_, count_, &error);
    if (error) libewf_error_free(&error);
  }
  EwfSource(const EwfSource&) = delete;
  EwfSource& operator=(const EwfSource&) = delete;

  bool open() {
    libewf_error_t* error = nullptr;
    if (libewf_glob(first_.c_str(), first_.size(), LIBEWF_FORMAT_UNKNOWN, &names_, &count_,
                    &error) != 1 ||
        libewf_handle_initialize(&handle_, &error) != 1 ||
        libewf_handle_open(handle_, names_, count_, LIBEWF_OPEN_READ, &error) != 1) {
      StrellLog(fmt::format("Evidence file {}: cannot be opened: {}", first_, EwfErrorText(error)));
      return false;
    }
    open_ = true;
    size64_t size = 0;
    uint32_t sectorBytes = 0;
    if (libewf_handle_get_media_size(handle_, &size, &error) != 1 ||
        libewf_handle_get_bytes_per_sector(handle_, &sectorBytes, &error) != 1) {
      StrellLog(fmt::format("Evidence file {}: no media size: {}", first_, EwfErrorText(error)));
      return false;
    }
    size_ = size;
    sectorBytes_ = sectorBytes;
    missing_ = libewf_handle_segment_files_corrupted(handle_, &error) == 1;
    if (error) libewf_error_free(&error);
    return true;
  }

  uint64_t size() const override { return size_; }

  // Each handle inflates its own chunks: two read twice as fast.
  std::unique_ptr<MediaSource> another() const override {
    auto second = std::make_unique<EwfSource>(first_, false);
    if (!second->open()) return nullptr;
    return second;
  }
  uint64_t zerosFrom() const override { return zerosFrom_; }
  void setZerosFrom(uint64_t offset) override { zerosFrom_ = offset; }

  bool read(uint64_t offset, uint8_t* into, size_t n) override {
    if (zerosFrom_ <= offset) {
      std::memset(into, 0, n);
      return true;
    }
    const uint32_t errorsBefore = missing_ ? checksumErrors() : 0;
    libewf_error_t* error = nullptr;
    size_t got = 0;
    while (got < n) {
      const ssize_t r = libewf_handle_read_random(handle_, into + got, n - got,
                                                  static_cast<off64_t>(offset + got), &error);
      if (r <= 0) {
        StrellLog(fmt::format("Evidence file {}: media offset {} cannot be read: {}", first_,
                              offset + got, EwfErrorText(error)));
        return false;
      }
      got += static_cast<size_t>(r);
    }
    // libewf keeps, and never frees, a buffer for each chunk of a missing
    // segment that it reads as zeros: from the first block with such a
    // chunk on, the media is taken as zeros without asking it, so that the
    // memory lost stays one block's worth however much media is missing.
    if (missing_ && checksumErrors() > errorsBefore) zerosFrom_ = offset + n;
    return true;
  }

  uint32_t checksumErrors() const {
    libewf_error_t* error = nullptr;
    uint32_t errors = 0;
    if (libewf_handle_get_number_of_checksum_errors(handle_, &errors, &error) != 1) errors = 0;
    if (error) libewf_error_free(&error);
    return errors;
  }

  void reportDamage() override {
    libewf_error_t* error = nullptr;
    // Segments missing at the end or after a gap leave the set without its
    // closing section; libewf reads their chunks as zeros, reported below.
    if (missing_ && primary_)
      StrellLog(fmt::format(
          "Evidence file {}: a segment file is missing after {} (segments found: {}); the media "
          "it held reads as zeros{}",
          first_, count_ > 0 ? names_[count_ - 1] : first_.c_str(), count_,
          zerosFrom_ < size_ ? fmt::format(", and so does all media from offset {} on", zerosFrom_)
                             : ""));
    uint32_t errors = 0;
    if (libewf_handle_get_number_of_checksum_errors(handle_, &errors, &error) != 1) {
      if (error) libewf_error_free(&error);
      return;
    }
    for (uint32_t i = 0; i < errors; ++i) {
      uint64_t sector = 0, sectors = 0;
      if (libewf_handle_get_checksum_error(handle_, i, &sector, &sectors, &error) != 1) {
        if (error) libewf_error_free(&error);
        continue;
      }
      StrellLog(fmt::format(
          "Evidence file {}: corrupt or missing chunk at media offset {} ({} bytes), read as zeros",
          first_, sector * sectorBytes_, sectors * sectorBytes_));
    }
  }

 private:
  std::string first_;
  char** names_ = nullptr;
  int count_ = 0;
  libewf_handle_t* handle_ = nullptr;
  bool primary_ = true;
  bool open_ = false;
  bool missing_ = false;             // segment files are missing from the set
  uint64_t zerosFrom_ = UINT64_MAX;  // media read as zeros from here on
  uint64_t size_ = 0;
  uint64_t sectorBytes_ = 0;
};

class RawSource final : public MediaSource {
 public:
  ~RawSource() override {
    if (fd_ >= 0) ::close(fd_);
  }
  RawSource(const RawSource&) = delete;
  RawSource& operator=(const RawSource&) = delete;
  explicit RawSource(const std::string& first) : first_(first) {
    for (std::string& path : RawSegments(first)) {
      const uint64_t size = FileSize(path);
      segments_.push_back({std::move(path), size_, size});
      size_ += size;
    }
  }

  bool open() {
    // A later number present after a gap means a segment is missing: where
    // the media past the gap stands is not known, so it is not read.
    const std::string stem = DeletingPathExtension(first_);
    const size_t width = PathExtension(first_).size();
    for (const uint64_t n : RawSegmentNumbers(first_)) {
      if (n <= segments_.size()) continue;
      StrellLog(
          fmt::format("Split image {}: segment {} is missing; {} and the segments after "
                      "it are not read",
                      first_, fmt::format("{}.{:0{}}", stem, segments_.size() + 1, width),
                      fmt::format("{}.{:0{}}", stem, n, width)));
      break;
    }
    return !segments_.empty();
  }

  uint64_t size() const override { return size_; }

  bool read(uint64_t offset, uint8_t* into, size_t n) override {
    while (n > 0) {
      auto segment = std::find_if(segments_.begin(), segments_.end(), [&](const Segment& s) {
        return offset >= s.start && offset - s.start < s.size;
      });
      if (segment == segments_.end()) return false;
      if (segment->path != openPath_) {
        if (fd_ >= 0) ::close(fd_);
        openPath_ = segment->path;
        fd_ = ::open(segment->path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
          StrellLog(fmt::format("Split image {}: {} cannot be opened", first_, segment->path));
          return false;
        }
      }
      const uint64_t inSegment = offset - segment->start;
      const size_t take = static_cast<size_t>(std::min<uint64_t>(n, segment->size - inSegment));
      const ssize_t r = ::pread(fd_, into, take, static_cast<off_t>(inSegment));
      if (r <= 0) {
        StrellLog(fmt::format("Split image {}: {} cannot be read at {}", first_, segment->path,
                              inSegment));
        return false;
      }
      into += r;
      offset += static_cast<uint64_t>(r);
      n -= static_cast<size_t>(r);
    }
    return true;
  }

 private:
  struct Segment {
    std::string path;
    uint64_t start;
    uint64_t size;
  };
  std::string first_;
  std::vector<Segment> segments_;
  uint64_t size_ = 0;
  int fd_ = -1;
  std::string openPath_;
};

// Bytes of memory the system could give now without swapping (MemAvailable).
uint64_t AvailableMemory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  std::string unit;
  while (meminfo >> key >> kib >> unit)
    if (key == "MemAvailable:") return kib * 1024;
  return 0;
}

// A file in memory for media that fits in a quarter of the memory free now,
// or -1: the kernel never writes it to disk, where a temporary file of a GiB
// costs seconds of writeback. Larger media goes to the temporary folder,
// whose pages the kernel can evict.
int MemoryFile(uint64_t size) {
  if (size > AvailableMemory() / 4) return -1;
  return ::memfd_create("strellbox-media", MFD_CLOEXEC);
}

// The set's media size, as the job's total counts it; nothing when the
// set cannot be opened.
std::optional<uint64_t> MediaSize(const std::string& first, SegmentSet set) {
  if (set == SegmentSet::kEwf) {
    EwfSource source(first);
    if (!source.open()) return std::nullopt;
    return source.size();
  }
  RawSource source(first);
  return source.size();
}

// An unlinked temporary file of `size` bytes filled from the source, mapped
// read-only; nothing when it cannot be made or filled (logged).
std::optional<Buffer> MapMediaCopy(const std::string& first, MediaSource& source,
                                   const std::function<bool()>& stop, int readers,
                                   const std::function<void(uint64_t)>& progress) {
  const uint64_t size = source.size();
  std::error_code ec;
  const fs::path folder = fs::temp_directory_path(ec);
  int fd = MemoryFile(size);
  if (fd < 0) {
    if (ec) {
      StrellLog(fmt::format("Evidence file {}: no temporary folder for its media", first));
      return std::nullopt;
    }
    struct statvfs room {};
    const uint64_t free = ::statvfs(folder.c_str(), &room) == 0
                              ? static_cast<uint64_t>(room.f_bavail) * room.f_frsize
                              : 0;
    if (free < kFreeSpaceMargin || free - kFreeSpaceMargin < size) {
      StrellLog(fmt::format(
          "Evidence file {}: its media ({} bytes) does not fit in {} ({} bytes free); not scanned",
          first, size, folder.string(), free));
      return std::nullopt;
    }
    std::string name = (folder / "strellbox-media-XXXXXX").string();
    fd = ::mkstemp(name.data());
    if (fd < 0) {
      StrellLog(fmt::format("Evidence file {}: cannot create a temporary file in {}", first,
                            folder.string()));
      return std::nullopt;
    }
    // Gone from the folder at once: the mapping keeps the bytes, and nothing
    // is left behind however the scan ends.
    ::unlink(name.c_str());
  }
  const std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
    ::close(*f);
    delete f;
  });
  if (::posix_fallocate(fd, 0, static_cast<off_t>(size)) != 0) {
    StrellLog(fmt::format("Evidence file {}: no room for its media ({} bytes) in {}", first, size,
                          folder.string()));
    return std::nullopt;
  }
  // The readers inflate straight into the mapping the scan reads: no copy
  // through a block and a write, and no page faulted in twice. (Mapping it
  // populated up front made the runs slower, not faster.) Items of it are
  // slices of the mapping, as a raw image's are.
  const auto length = static_cast<size_t>(size);
  void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    StrellLog(fmt::format("Evidence file {}: its media cannot be mapped", first));
    return std::nullopt;
  }
  std::shared_ptr<const void> owner(
      address, [length](const void* a) { ::munmap(const_cast<void*>(a), length); });
  auto* media = static_cast<uint8_t*>(address);
  // [from, to) of the media from `reader` into the mapping.
  auto copy = [&](MediaSource& reader, uint64_t from, uint64_t to) {
    for (uint64_t offset = from; offset < to;) {
      if (stop()) return false;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadBlock, to - offset));
      if (!reader.read(offset, media + offset, n)) return false;
      offset += n;
      if (progress) progress(n);
    }
    return true;
  };
  // One part per reader, each on a handle of its own opened on its own
  // thread (opening reads the set's tables). Parts start on the block grid
  // of one reader, so that the media comes out the same.
  const uint64_t blocks = (size + kReadBlock - 1) / kReadBlock;
  const auto parts = static_cast<size_t>(
      std::min<uint64_t>(blocks, static_cast<uint64_t>(std::clamp(readers, 1, kMaxReaders))));
  std::vector<uint64_t> at(parts + 1, size);
  for (size_t k = 0; k < parts; ++k) at[k] = blocks * k / parts * kReadBlock;
  std::vector<std::unique_ptr<MediaSource>> others(parts);  // none for part 0: `source`
  std::vector<char> read(parts, 0);
  std::vector<std::thread> threads;
  for (size_t k = 1; k < parts; ++k)
    threads.emplace_back([&, k] {
      others[k] = source.another();
      if (others[k]) read[k] = copy(*others[k], at[k], at[k + 1]);
    });
  read[0] = copy(source, 0, at[1]);
  for (std::thread& t : threads) t.join();
  // A part left without a reader of its own is read by the first, in turn.
  for (size_t k = 1; k < parts; ++k)
    if (!others[k]) read[k] = read[k - 1] && copy(source, at[k], at[k + 1]);
  if (std::find(read.begin(), read.end(), 0) != read.end()) return std::nullopt;
  // One reader takes all media as zeros from the first block where a
  // missing segment showed (see EwfSource::read): so are the parts past the
  // one where that happened, and the damage they met is not reported.
  size_t last = parts - 1;
  uint64_t zeros = UINT64_MAX;
  for (size_t k = 0; k < parts; ++k) {
    const MediaSource& reader = others[k] ? *others[k] : source;
    // The end of the block where it showed: at most the part's end.
    if (reader.zerosFrom() <= at[k + 1]) {
      zeros = reader.zerosFrom();
      last = k;
      break;
    }
  }
  if (zeros != UINT64_MAX) {
    std::memset(media + at[last + 1], 0, static_cast<size_t>(size - at[last + 1]));
    source.setZerosFrom(zeros);
  }
  for (size_t k = 1; k <= last; ++k)
    if (others[k]) others[k]->reportDamage();  // the checksum errors of its part
  source.reportDamage();
  ::mprotect(address, length, PROT_READ);
  ::madvise(address, length, MADV_SEQUENTIAL);
  return Buffer::ofMapping(std::move(owner), media, size);
}

}  // namespace

SegmentSet FirstSegmentOf(const std::string& path) {
  bool later = false;
  const std::string first = FirstExtensionOf(PathExtension(path), later);
  if (first.empty() || later || !IsRegularFile(path)) return SegmentSet::kNone;
  if (first == "e01" || first == "ex01") {
    libewf_error_t* error = nullptr;
    const int is = libewf_check_file_signature(path.c_str(), &error);
    if (error) libewf_error_free(&error);
    return is == 1 ? SegmentSet::kEwf : SegmentSet::kNone;
  }
  // A set when any later segment is beside it: with the second missing, the
  // first is still read as the start of the set, and the gap logged.
  const std::vector<uint64_t> numbers = RawSegmentNumbers(path);
  return !numbers.empty() && numbers.back() >= 2 ? SegmentSet::kSplitRaw : SegmentSet::kNone;
}

SegmentEntries CollapseSegments(const std::vector<std::string>& entries) {
  SegmentEntries result;
  std::set<std::string> sets;  // the keys of the sets whose first segment is an entry
  for (const std::string& entry : entries) {
    const SegmentSet set = FirstSegmentOf(entry);
    if (set == SegmentSet::kNone) continue;
    bool later = false;
    sets.insert(Lower(SetKey(entry, FirstExtensionOf(PathExtension(entry), later))));
    if (const auto media = MediaSize(entry, set))
      result.totalChange += 2 * static_cast<double>(*media) - static_cast<double>(FileSize(entry));
  }
  result.entries.reserve(entries.size());
  for (const std::string& entry : entries) {
    bool later = false;
    const std::string first = FirstExtensionOf(PathExtension(entry), later);
    if (later && sets.count(Lower(SetKey(entry, first))) != 0) {
      result.totalChange -= static_cast<double>(FileSize(entry));
      continue;
    }
    result.entries.push_back(entry);
  }
  return result;
}

std::optional<MediaRead> ReadSegmentMedia(const std::string& path,
                                          const std::function<bool()>& stop, uint64_t maxMedia,
                                          int readers,
                                          const std::function<void(uint64_t)>& progress) {
  const SegmentSet set = FirstSegmentOf(path);
  if (set == SegmentSet::kNone) return std::nullopt;
  MediaRead read;
  read.status = ReadStatus::kUnreadable;
  std::unique_ptr<MediaSource> source;
  if (set == SegmentSet::kEwf) {
    auto ewf = std::make_unique<EwfSource>(path);
    if (!ewf->open()) return read;
    source = std::move(ewf);
  } else {
    auto raw = std::make_unique<RawSource>(path);
    if (!raw->open()) return read;
    source = std::move(raw);
  }
  if (source->size() > maxMedia) {
    StrellLog(fmt::format("Evidence file {}: its media ({} bytes) is larger than {} bytes", path,
                          source->size(), maxMedia));
    return read;
  }
  read.status = ReadStatus::kRead;
  if (source->size() == 0) return read;
  std::optional<Buffer> media = MapMediaCopy(path, *source, stop, readers, progress);
  if (!media) {
    read.status = ReadStatus::kUnreadable;
    return read;
  }
  // Buffer gives an origin only to what it reads: mapping the first segment
  // (no page of it is touched) makes it the container of the media.
  const Buffer container = Buffer::readFile(path, 0);
  read.media = media->decodedFrom(container, set == SegmentSet::kEwf ? "ewf" : "split-raw", 0);
  return read;
}

}  // namespace strellbox
