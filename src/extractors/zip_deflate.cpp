// Zip archives and zlib streams: the zip pass reports archives whole; the
// deflate pass inflates every zlib stream it finds, scans the inflated bytes
// like a file of their own and, when asked to, reports them too.
#include "extractors/zip_deflate.h"

#include <fmt/format.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "engine/carve.h"
#include "engine/classify.h"
#include "engine/decoder_table.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/archives.h"
#include "extractors/ole2.h"
#include "extractors/rtf.h"
#include "extractors/sqlite.h"

namespace strellbox {

namespace {

// The output buffer's first length; later it grows by half the input left.
constexpr uint64_t kFirstStep = 32768;
// Most bytes handed to zlib in one call, in and out, so that a work limit
// is checked often enough to hold within a slice.
constexpr uint64_t kSlice = uint64_t{1} << 20;
// Buffers of this length or less are left alone by both passes.
constexpr uint64_t kMinLength = 100;
// Where the search goes on after a candidate that did not inflate, and
// after one that did (inside its compressed data).
constexpr uint64_t kStepAfterFailure = 16;
constexpr uint64_t kStepAfterStream = 6;
// Above this length the deflate pass reports progress after each stream.
constexpr uint64_t kProgressLength = 1000000;

thread_local uint64_t tInflateWork = 0;

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t SaturatingMul(uint64_t a, uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// The bytes that can follow 78 in a zlib header: those that make the
// big-endian pair divisible by 31.
constexpr std::array<bool, 256> MakeZlibSecondBytes() {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = (0x7800 | c) % 31 == 0;
  return t;
}
constexpr std::array<bool, 256> kZlibSecondBytes = MakeZlibSecondBytes();

// First p in [from, limit) where a zlib header stands: 78 (deflate, 32K
// window) and a two-byte big-endian value divisible by 31.
uint64_t FindZlibHeader(const Buffer& data, uint64_t from, uint64_t limit) {
  return data.findPairIn(0x78, kZlibSecondBytes, from, limit);
}

// Output storage past the scratch area. Below kMapThreshold it comes from
// the heap, which recycles memory between candidates; above, from anonymous
// mappings that grow by remapping their pages, so that a growth step never
// copies the bytes produced so far, and that are backed by huge pages where
// the system offers them on request (faulting in fresh 4 KiB pages one at a
// time can cost as much as the inflation itself).
class OutputArea {
 public:
  static constexpr uint64_t kMapThreshold = uint64_t{8} << 20;

  OutputArea() = default;
  ~OutputArea() { reset(); }
  OutputArea(const OutputArea&) = delete;
  OutputArea& operator=(const OutputArea&) = delete;

  uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }

  // Room for `length` bytes, keeping the first `keep` bytes held; false
  // when the memory cannot be had.
  bool grow(uint64_t length, uint64_t keep) {
    if (length <= size_) return true;
    if (!mapped_ && length < kMapThreshold) {
      void* p = std::realloc(data_, static_cast<size_t>(length));
      if (!p) return false;
      data_ = static_cast<uint8_t*>(p);
      size_ = length;
      return true;
    }
    if (length > UINT64_MAX - pageSize()) return false;
    const uint64_t rounded = roundUp(length);
    void* p = mapped_ ? ::mremap(data_, size_, rounded, MREMAP_MAYMOVE)
                      : ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
#ifdef MADV_HUGEPAGE
    // The advice covers the whole mapping: split into regions with
    // different flags, it could no longer be remapped.
    ::madvise(p, rounded, MADV_HUGEPAGE);
#endif
    if (!mapped_) {
      if (data_) std::copy_n(data_, std::min(keep, size_), static_cast<uint8_t*>(p));
      std::free(data_);
      mapped_ = true;
    }
    data_ = static_cast<uint8_t*>(p);
    size_ = rounded;
    return true;
  }

  // Hands the first `length` bytes over to a buffer.
  Buffer release(uint64_t length) {
    uint8_t* bytes = data_;
    std::shared_ptr<const void> owner;
    if (mapped_) {
      const uint64_t keep = roundUp(std::max<uint64_t>(length, 1));
      if (keep < size_) ::munmap(bytes + keep, size_ - keep);
      owner.reset(bytes, [keep](const void* p) { ::munmap(const_cast<void*>(p), keep); });
    } else {
      owner.reset(bytes, [](const void* p) { std::free(const_cast<void*>(p)); });
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
    return Buffer(std::move(owner), bytes, length);
  }

 private:
  void reset() {
    if (mapped_)
      ::munmap(data_, size_);
    else
      std::free(data_);
  }
  static uint64_t pageSize() {
    static const auto size = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    return size;
  }
  static uint64_t roundUp(uint64_t n) { return (n + pageSize() - 1) / pageSize() * pageSize(); }

  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  bool mapped_ = false;
};

// The type an inflated stream is reported with.
std::string InflatedType(const Buffer& inflated) {
  std::string type = GuessExtension(inflated);
  if (type == "xls") return "ms-ole-storage";
  if (type.empty()) return "inflated";
  return type;
}

}  // namespace

uint64_t InflateCap(uint64_t n) {
  if (n <= 199999) return n * 40;
  if (n <= 1999999) return n * 10;
  if (n <= 4999999) return n * 5;
  return SaturatingMul(n, 2);
}

uint64_t InflateWorkOnThisThread() { return tInflateWork; }

struct Inflater::State {
  z_stream z{};
  bool ready = false;
  int windowBits = 15;
  std::unique_ptr<uint8_t[]> scratch;

  ~State() {
    if (ready) inflateEnd(&z);
  }
  // A fresh stream on first use, a reset one afterwards.
  bool open(InflateFormat format) {
    const int bits = format == InflateFormat::kRaw ? -15 : 15;
    if (ready) {
      if ((bits == windowBits ? inflateReset(&z) : inflateReset2(&z, bits)) == Z_OK) {
        windowBits = bits;
        return true;
      }
      inflateEnd(&z);
      ready = false;
    }
    z = z_stream{};
    ready = inflateInit2(&z, bits) == Z_OK;
    windowBits = bits;
    return ready;
  }
};

Inflater::Inflater() : state_(std::make_unique<State>()) {}
Inflater::~Inflater() = default;

std::optional<Buffer> Inflater::inflate(const Buffer& data, uint64_t start, Limits limits,
                                        InflateFormat format) {
  last_ = Attempt{};
  const uint64_t n = data.size();
  if (n == 0 || start >= n) return std::nullopt;

  const uint64_t cap = std::min(InflateCap(n), limits.output);
  const uint64_t step = (n - start) / 2;

  State& s = *state_;
  if (!s.open(format)) {
    last_.outcome = Outcome::kNoMemory;
    return std::nullopt;
  }
  if (!s.scratch) s.scratch = std::make_unique<uint8_t[]>(kFirstStep);

  z_stream& z = s.z;
  z.next_in = nullptr;  // a reset keeps the last candidate's input
  z.avail_in = 0;
  const uint64_t workLimit = limits.work;
  const bool inputLimited = limits.input < n - start;
  // Input not yet handed to zlib.
  const uint8_t* in = data.data() + start;
  uint64_t inLeft = inputLimited ? limits.input : n - start;
  uint64_t handed = 0;        // input handed to zlib so far
  bool chargedInput = false;  // the input zlib holds lies in the charged range
  OutputArea area;            // used once the scratch area is full
  uint8_t* base = nullptr;    // the output buffer: scratch, then area
  uint64_t length = 0;        // the output buffer's length
  uint64_t produced = 0;
  uint64_t consumed = 0;
  uint64_t charged = 0;
  bool starved = false;
  Outcome outcome = Outcome::kBadStream;

  for (;;) {
    // Input is handed over in pieces that lie wholly inside or outside the
    // charged range, so that the work of each piece is counted where it
    // belongs.
    if (z.avail_in == 0 && inLeft > 0) {
      uint64_t chunk = std::min(inLeft, kSlice);
      if (handed < limits.chargedFrom)
        chunk = std::min(chunk, limits.chargedFrom - handed);
      else if (handed < limits.chargedTo)
        chunk = std::min(chunk, limits.chargedTo - handed);
      chargedInput = handed >= limits.chargedFrom && handed < limits.chargedTo;
      if (chargedInput && charged < workLimit) chunk = std::min(chunk, workLimit - charged);
      z.next_in = const_cast<Bytef*>(in);
      z.avail_in = static_cast<uInt>(chunk);
      in += chunk;
      inLeft -= chunk;
      handed += chunk;
    }
    if (chargedInput && charged >= workLimit) {
      outcome = Outcome::kOverWorkLimit;
      starved = true;
      break;
    }
    // The cap is tested only when the output buffer is full: a stream that
    // ends in the step crossing the cap still succeeds.
    if (produced == length) {
      if (produced >= cap) {
        outcome = Outcome::kCapReached;
        break;
      }
      const uint64_t grow = produced == 0 ? kFirstStep : step;
      if (grow == 0) break;  // no room: the stream cannot go on
      if (length == 0) {
        base = s.scratch.get();
      } else {
        if (!area.grow(length + grow, produced)) {
          outcome = Outcome::kNoMemory;
          break;
        }
        if (base == s.scratch.get()) std::copy_n(base, produced, area.data());
        base = area.data();
      }
      length += grow;
    }

    const uint64_t slice = chargedInput ? std::min(kSlice, workLimit - charged) : kSlice;
    z.next_out = base + produced;
    z.avail_out = static_cast<uInt>(std::min(length - produced, slice));
    const uInt availIn = z.avail_in;
    const uInt availOut = z.avail_out;
    const int ret = ::inflate(&z, Z_SYNC_FLUSH);
    const uint64_t read = availIn - z.avail_in;
    const uint64_t written = availOut - z.avail_out;
    consumed += read;
    produced += written;
    if (chargedInput) charged += read + written;

    if (ret == Z_STREAM_END) {
      outcome = Outcome::kInflated;
      break;
    }
    if (ret == Z_OK) continue;
    if (ret == Z_MEM_ERROR) {
      outcome = Outcome::kNoMemory;
    } else if (ret == Z_BUF_ERROR && z.avail_in == 0 && inLeft == 0) {
      outcome = inputLimited ? Outcome::kOverWorkLimit : Outcome::kTruncated;
    }
    break;  // corrupt, preset dictionary, bad check value
  }

  last_.outcome = outcome;
  last_.consumed = consumed;
  last_.produced = produced;
  last_.outputLength = length;
  last_.allocated = area.size();
  last_.charged = charged;
  last_.starved = starved;
  tInflateWork += consumed + produced;
  if (outcome != Outcome::kInflated) return std::nullopt;
  if (area.data()) return area.release(produced);
  last_.allocated = produced;
  return Buffer::copyOf(s.scratch.get(), produced);
}

std::optional<Buffer> Inflate(const Buffer& data, uint64_t start) {
  Inflater inflater;
  return inflater.inflate(data, start);
}

InflateBudget::InflateBudget(uint64_t n) : length_(n), readAllowance_(SaturatingMul(n, kOverlap)) {
  // The most work one attempt at offset 0 can do: read the whole buffer and
  // write up to the cap plus one growth step.
  allowance_ = SaturatingAdd(SaturatingAdd(n, InflateCap(n)), std::max(kFirstStep, n / 2));
}

Inflater::Limits InflateBudget::limitsAt(uint64_t offset) const {
  const uint64_t earned = SaturatingAdd(allowance_, SaturatingMul(offset, kPerByte));
  const uint64_t readable = SaturatingAdd(readAllowance_, offset);
  Inflater::Limits limits;
  limits.work = earned > spent_ ? earned - spent_ : 0;
  limits.input = readable > read_ ? readable - read_ : 0;
  limits.chargedTo = failedReach_ > offset ? failedReach_ - offset : 0;
  return limits;
}

void InflateBudget::charge(uint64_t offset, const Inflater::Attempt& attempt, uint64_t candidate) {
  if (attempt.outcome == Inflater::Outcome::kInflated) {
    read_ = SaturatingAdd(read_, attempt.consumed);
    return;
  }
  spent_ = SaturatingAdd(spent_, attempt.charged);
  failedReach_ = std::max(failedReach_, SaturatingAdd(offset, attempt.consumed));
  if (attempt.starved) {
    if (starved_.size() < kMaxStarved) {
      starved_.push_back(candidate);
    } else {
      starved_[starvedNext_] = candidate;
      starvedNext_ = (starvedNext_ + 1) % kMaxStarved;
    }
  }
}

std::vector<uint64_t> InflateBudget::takeStarved() {
  std::vector<uint64_t> lastFirst;
  lastFirst.reserve(starved_.size());
  for (size_t i = 0; i < starved_.size(); ++i)
    lastFirst.push_back(starved_[(starvedNext_ + starved_.size() - 1 - i) % starved_.size()]);
  starved_.clear();
  starvedNext_ = 0;
  return lastFirst;
}

Inflater::Limits InflateBudget::retryLimitsAt(uint64_t offset) const {
  Inflater::Limits limits = limitsAt(length_);
  limits.chargedFrom = nextFailed_ > offset ? nextFailed_ - offset : 0;
  limits.chargedTo = UINT64_MAX;
  return limits;
}

void InflateBudget::chargeRetry(uint64_t offset, const Inflater::Attempt& attempt) {
  if (attempt.outcome == Inflater::Outcome::kInflated) {
    read_ = SaturatingAdd(read_, attempt.consumed);
    return;
  }
  spent_ = SaturatingAdd(spent_, attempt.charged);
  nextFailed_ = std::min(nextFailed_, offset);
}

CarveLength ZipLengthByEndRecord(const Buffer& data, uint64_t p) {
  const uint64_t n = data.size();
  const uint64_t q = n >= 20 ? data.find("PK\x05\x06", p, n - 20) : Buffer::npos;
  if (q != Buffer::npos && data.has(q, 22)) {
    const uint64_t archive = (q - p) + data.le16(q + 20) + 22;
    if (archive <= n - p) return {archive, ItemEnd::kMarker};
  }
  return {n - p, ItemEnd::kBuffer};
}

int32_t strellZip(ScanContext& context, const Buffer& data, const std::string& from) {
  // Only the first end record after the local header counts; the central
  // directory is not read. An archive is never taken for the whole buffer,
  // and the search resumes right after it, so that one following it
  // directly is found too.
  static constexpr CarveSignature kLocalHeader[] = {{"PK\x03\x04"}};
  static constexpr CarvedFormat kZip = {.type = "zip",
                                        .signatures = kLocalHeader,
                                        .wholeBufferItems = false,
                                        .naming = CarveNaming::kSourceStem};
  return CarveItems(context, kZip, data, from, [&](uint64_t p, WalkBudget&, WalkMode) {
    return std::optional<CarveLength>(ZipLengthByEndRecord(data, p));
  });
}

int32_t strellDeflate(ScanContext& context, const Buffer& data, const std::string& from,
                      bool saveInflates) {
  const uint64_t n = data.size();
  if (n <= kMinLength) return 0;
  const std::string base = DeletingPathExtension(from);
  Inflater inflater;
  InflateBudget budget(n);
  int32_t count = 0;
  // The stream at p inflated to `inflated`: scan it again and report it.
  auto onStream = [&](uint64_t p, Buffer bytes) {
    DecodedChild child{std::move(bytes), DecoderId::kZlib, p};
    count += context.scanChild(data, child, fmt::format("{}-inflated", base)).items;
    const Buffer& inflated = child.bytes;
    if (saveInflates)
      context.saveStrell(inflated, 0, inflated.size(), InflatedType(inflated),
                         fmt::format("{}[{}]", base, p), count, ItemEnd::kDecoded);
    ++count;
  };
  uint64_t position = 0;
  while (position < n - 8 && !context.stopStreller()) {
    const uint64_t p = FindZlibHeader(data, position, n - 8);
    if (p == Buffer::npos) break;
    Inflater::Limits limits = budget.limitsAt(p);
    limits.output = context.decodedAllowance();
    std::optional<Buffer> inflated = inflater.inflate(data, p, limits);
    budget.charge(p, inflater.lastAttempt());
    if (!inflated || inflated->size() < 2) {
      position = p + kStepAfterFailure;
      continue;
    }
    onStream(p, std::move(*inflated));
    // Go on inside the compressed data of the stream just inflated.
    position = p + kStepAfterStream;
    if (n > kProgressLength)
      context.progressFromThread(
          context.strelledBytes() +
          static_cast<double>(position / static_cast<uint64_t>(context.fileTypeCount())));
  }
  for (uint64_t p : budget.takeStarved()) {
    if (context.stopStreller()) break;
    Inflater::Limits limits = budget.retryLimitsAt(p);
    limits.output = context.decodedAllowance();
    std::optional<Buffer> inflated = inflater.inflate(data, p, limits);
    budget.chargeRetry(p, inflater.lastAttempt());
    if (inflated && inflated->size() >= 2) onStream(p, std::move(*inflated));
  }
  return count;
}

int32_t strellFlate(ScanContext& context, const Buffer& data, const std::string& from) {
  if (context.extended())
    return strellZipMembers(context, data, from, true) + strellDeflate(context, data, from, true) +
           strellGzip(context, data, from, true) + strellArchives(context, data, from, true) +
           strellOLE2(context, data, from, true) + strellRTF(context, data, from) +
           strellSQLite(context, data, from, true);
  return strellZip(context, data, from) + strellDeflate(context, data, from, true);
}

int32_t strellSilentFlate(ScanContext& context, const Buffer& data, const std::string& from) {
  if (context.extended())
    return strellZipMembers(context, data, from, false) +
           strellDeflate(context, data, from, false) + strellGzip(context, data, from, false) +
           strellArchives(context, data, from, false) + strellOLE2(context, data, from, false) +
           strellRTF(context, data, from) + strellSQLite(context, data, from, false);
  return strellDeflate(context, data, from, false);
}

std::optional<Buffer> DecodeZlibAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  Inflater inflater;
  Inflater::Limits limits;
  limits.output = maxOutput;
  return inflater.inflate(data, offset, limits);
}

}  // namespace strellbox
