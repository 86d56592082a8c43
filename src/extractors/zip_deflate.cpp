// Zip archives and zlib streams: the zip pass reports archives whole; the
// deflate pass inflates every zlib stream it finds, scans the inflated bytes
// like a file of their own and, when asked to, reports them too.
#include "extractors/zip_deflate.h"

#include <fmt/format.h>
#include <sys/mman.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

#include "engine/classify.h"
#include "engine/paths.h"
#include "engine/strell_controller.h"

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

// Large output buffers are backed by huge pages where the system offers
// them on request: faulting in a fresh 4 KiB page at a time costs as much
// as the inflation itself on some virtual machines.
constexpr uint64_t kHugePage = uint64_t{2} << 20;
constexpr uint64_t kHugePageThreshold = 4 * kHugePage;

void PreferHugePages([[maybe_unused]] uint8_t* data, [[maybe_unused]] uint64_t capacity) {
#ifdef MADV_HUGEPAGE
  if (capacity < kHugePageThreshold) return;
  const auto begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t last = (begin + capacity) & ~(kHugePage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t SaturatingMul(uint64_t a, uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// First p in [from, limit) where a zlib header stands: 78 (deflate, 32K
// window) and a two-byte big-endian value divisible by 31.
uint64_t FindZlibHeader(const Buffer& data, uint64_t from, uint64_t limit) {
  while (from < limit) {
    const uint64_t p = data.find(uint8_t{0x78}, from, limit);
    if (p == Buffer::npos) return Buffer::npos;
    if (data.be16(p) % 31 == 0) return p;
    from = p + 1;
  }
  return Buffer::npos;
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
  std::unique_ptr<uint8_t[]> scratch;

  ~State() {
    if (ready) inflateEnd(&z);
  }
  // A fresh stream on first use, a reset one afterwards.
  bool open() {
    if (ready) {
      if (inflateReset(&z) == Z_OK) return true;
      inflateEnd(&z);
      ready = false;
    }
    z = z_stream{};
    ready = inflateInit(&z) == Z_OK;
    return ready;
  }
};

Inflater::Inflater() : state_(std::make_unique<State>()) {}
Inflater::~Inflater() = default;

std::optional<Buffer> Inflater::inflate(const Buffer& data, uint64_t start, uint64_t workLimit) {
  last_ = Attempt{};
  const uint64_t n = data.size();
  if (n == 0 || start >= n) return std::nullopt;

  const uint64_t cap = InflateCap(n);
  const uint64_t step = (n - start) / 2;
  // The output buffer never grows past a length below the cap by more than
  // one step, so its storage never needs to exceed this.
  const uint64_t largest = SaturatingAdd(cap - 1, std::max(kFirstStep, step));

  State& s = *state_;
  if (!s.open()) {
    last_.outcome = Outcome::kNoMemory;
    return std::nullopt;
  }
  if (!s.scratch) s.scratch = std::make_unique<uint8_t[]>(kFirstStep);

  z_stream& z = s.z;
  z.next_in = nullptr;  // a reset keeps the last candidate's input
  z.avail_in = 0;
  const uint8_t* in = data.data() + start;
  uint64_t inLeft = n - start;  // not yet handed to zlib
  std::vector<uint8_t> out;     // used once the scratch area is full
  uint8_t* base = nullptr;      // the output buffer: scratch, then out
  uint64_t length = 0;          // the output buffer's length
  uint64_t produced = 0;
  uint64_t consumed = 0;
  Outcome outcome = Outcome::kBadStream;

  for (;;) {
    const uint64_t work = consumed + produced;
    if (work >= workLimit) {
      outcome = Outcome::kOverWorkLimit;
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
        length = kFirstStep;
      } else {
        try {
          const uint64_t newLength = length + grow;
          if (newLength > out.capacity()) {
            out.reserve(std::min(largest, std::max(newLength, 2 * out.capacity())));
            PreferHugePages(out.data(), out.capacity());
          }
          if (out.empty()) out.assign(s.scratch.get(), s.scratch.get() + produced);
          out.resize(newLength);
        } catch (const std::bad_alloc&) {
          outcome = Outcome::kNoMemory;
          break;
        }
        base = out.data();
        length = out.size();
      }
    }

    const uint64_t slice = std::min(kSlice, workLimit - work);
    if (z.avail_in == 0 && inLeft > 0) {
      const uint64_t chunk = std::min(inLeft, slice);
      z.next_in = const_cast<Bytef*>(in);
      z.avail_in = static_cast<uInt>(chunk);
      in += chunk;
      inLeft -= chunk;
    }
    z.next_out = base + produced;
    z.avail_out = static_cast<uInt>(std::min(length - produced, slice));
    const uInt availIn = z.avail_in;
    const uInt availOut = z.avail_out;
    const int ret = ::inflate(&z, Z_SYNC_FLUSH);
    consumed += availIn - z.avail_in;
    produced += availOut - z.avail_out;

    if (ret == Z_STREAM_END) {
      outcome = Outcome::kInflated;
      break;
    }
    if (ret == Z_OK) continue;
    if (ret == Z_MEM_ERROR) {
      outcome = Outcome::kNoMemory;
    } else if (ret == Z_BUF_ERROR && z.avail_in == 0 && inLeft == 0) {
      outcome = Outcome::kTruncated;
    }
    break;  // corrupt, preset dictionary, bad check value
  }

  last_.outcome = outcome;
  last_.consumed = consumed;
  last_.produced = produced;
  last_.allocated = out.capacity();
  tInflateWork += consumed + produced;
  if (outcome != Outcome::kInflated) return std::nullopt;

  if (out.empty()) {
    last_.allocated = produced;
    return Buffer::copyOf(s.scratch.get(), produced);
  }
  out.resize(produced);
  return Buffer(std::move(out));
}

std::optional<Buffer> Inflate(const Buffer& data, uint64_t start) {
  Inflater inflater;
  return inflater.inflate(data, start);
}

InflateBudget::InflateBudget(uint64_t n) {
  // The most work one attempt at offset 0 can do: read the whole buffer and
  // write up to the cap plus one growth step.
  const uint64_t largestAttempt =
      SaturatingAdd(SaturatingAdd(n, InflateCap(n)), std::max(kFirstStep, n / 2));
  allowance_ = SaturatingMul(largestAttempt, 2);
}

uint64_t InflateBudget::limitAt(uint64_t offset) const {
  const uint64_t earned = SaturatingAdd(allowance_, SaturatingMul(offset, kPerByte));
  return earned > spent_ ? earned - spent_ : 0;
}

void InflateBudget::charge(uint64_t work) { spent_ = SaturatingAdd(spent_, work); }

int32_t StrellController::strellZip(const Buffer& data, const std::string& from) {
  const uint64_t n = data.size();
  if (n <= kMinLength) return 0;
  const std::string name = DeletingPathExtension(from);
  int32_t count = 0;
  uint64_t position = 0;
  while (position < n - 8 && !stopStreller()) {
    const uint64_t p = data.find("PK\x03\x04", position, n - 8);
    if (p == Buffer::npos) break;
    // Only the first end record after the local header counts; the
    // central directory is not read.
    const uint64_t q = data.find("PK\x05\x06", p, n - 20);
    uint64_t length = n - p;
    if (q != Buffer::npos && data.has(q, 22)) {
      const uint64_t archive = (q - p) + data.le16(q + 20) + 22;
      if (archive <= n - p) length = archive;
    }
    saveStrell(data, p, length, "zip", name, count);
    ++count;
    if (q == Buffer::npos) break;  // the item ran to the end of the buffer
    // Resume right after this archive, so that one following it directly
    // is found too.
    position = p + length;
  }
  return count;
}

int32_t StrellController::strellDeflate(const Buffer& data, const std::string& from,
                                        bool saveInflates) {
  const uint64_t n = data.size();
  if (n <= kMinLength) return 0;
  const std::string base = DeletingPathExtension(from);
  Inflater inflater;
  InflateBudget budget(n);
  int32_t count = 0;
  uint64_t position = 0;
  while (position < n - 8 && !stopStreller()) {
    const uint64_t p = FindZlibHeader(data, position, n - 8);
    if (p == Buffer::npos) break;
    std::optional<Buffer> inflated = inflater.inflate(data, p, budget.limitAt(p));
    if (!inflated || inflated->size() < 2) {
      budget.charge(inflater.lastAttempt().work());
      position = p + kStepAfterFailure;
      continue;
    }

    addBytesToStrell(static_cast<double>(inflated->size()));
    if (strellRecursionLevel() <= 4)
      count += strellData(*inflated, fmt::format("{}-inflated", base));
    if (saveInflates) {
      std::string type = GuessExtension(*inflated);
      if (type == "xls")
        type = "ms-ole-storage";
      else if (type.empty())
        type = "inflated";
      saveStrell(*inflated, 0, inflated->size(), type, fmt::format("{}[{}]", base, p), count);
    }
    ++count;
    // Go on inside the compressed data of the stream just inflated.
    position = p + kStepAfterStream;
    if (n > kProgressLength)
      progressFromThread(strelledBytes() +
                         static_cast<double>(position / static_cast<uint64_t>(fileTypeCount())));
  }
  return count;
}

}  // namespace strellbox
