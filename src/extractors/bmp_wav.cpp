// Windows bitmaps and RIFF WAVE sounds. Both state their total size in the
// header, so nothing inside the item is walked: find the signature, take the
// size, check that the item fits in the buffer, report it.
//
// With extended detection a bitmap may carry any of the information headers
// writers use today (the 12-byte OS/2 one up to the 124-byte v5 one, with
// its colour profile), and a sound whose RIFF size a streaming writer left
// unset or too large is measured by its chunks.
#include <algorithm>

#include "engine/scan_context.h"
#include "extractors/image_scan.h"

namespace strellbox {

namespace {

constexpr uint64_t npos = Buffer::npos;

// How one of the two formats is recognised and measured.
struct SizedFormat {
  std::string_view signature;
  uint64_t window;  // candidates start before N - window; also the step past a dropped one
  std::string_view type;
  // The item's length from its header (64-bit: a size near 2^32 cannot wrap),
  // or 0 when the candidate is not taken. Walking work is charged to the
  // budget.
  uint64_t (*length)(const Buffer& b, uint64_t p, WalkBudget& budget);
  // The rest of the signature (the search is for its first part).
  bool (*isSignature)(const Buffer& b, uint64_t p);
};

// --- BMP ---------------------------------------------------------------------

constexpr uint64_t kBMPFileHeader = 14;

constexpr SizedFormat kBMP = {
    "BM",
    32,
    "bmp",
    // The information header must be the common 40-byte one (only the low
    // byte of its size is looked at). A size field of 0 would make an empty
    // item and leave the search where it was; such a header is passed over.
    [](const Buffer& b, uint64_t p, WalkBudget&) -> uint64_t {
      const uint64_t length = b.le32(p + 2);
      return length > 0 && p + length <= b.size() && b.u8(p + 14) == 0x28 ? length : 0;
    },
    [](const Buffer&, uint64_t) { return true; },
};

bool IsBitDepth(uint16_t bits) {
  return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 ||
         bits == 32 || bits == 64;
}

// Every information header in use: OS/2 1.x (12 bytes), Windows 3 (40),
// the Adobe extensions of it (52, 56), v4 (108) and v5 (124). The header
// must be believable as a whole (one plane, a bit depth there is, the pixel
// data behind the headers and inside the file), and a v5 header's embedded
// colour profile lies inside the item.
uint64_t ExtendedBMPLength(const Buffer& b, uint64_t p, WalkBudget&) {
  constexpr uint32_t kEmbeddedProfile = 0x4D424544;  // 'MBED'
  const uint32_t info = b.le32(p + 14);
  if (info != 12 && info != 40 && info != 52 && info != 56 && info != 108 && info != 124) return 0;
  const uint64_t length = b.le32(p + 2);
  const uint64_t headers = kBMPFileHeader + info;
  if (length <= headers || p + length > b.size()) return 0;
  const uint64_t planesAt = p + (info == 12 ? 22 : 26);
  if (b.le16(planesAt) != 1 || !IsBitDepth(b.le16(planesAt + 2))) return 0;
  const uint64_t pixels = b.le32(p + 10);
  if (pixels < headers || pixels >= length) return 0;
  if (info == 124 && b.le32(p + 14 + 56) == kEmbeddedProfile) {
    const uint64_t profileEnd =
        kBMPFileHeader + uint64_t{b.le32(p + 14 + 112)} + b.le32(p + 14 + 116);
    if (p + profileEnd <= b.size()) return std::max(length, profileEnd);
  }
  return length;
}

constexpr SizedFormat kExtendedBMP = {
    "BM", 32, "bmp", ExtendedBMPLength, [](const Buffer&, uint64_t) { return true; },
};

// --- WAV ---------------------------------------------------------------------

constexpr uint64_t kRIFFHeader = 8;

constexpr SizedFormat kWAV = {
    "RIFF",
    12,
    "wav",
    [](const Buffer& b, uint64_t p, WalkBudget&) -> uint64_t {
      const uint64_t length = uint64_t{b.le32(p + 4)} + kRIFFHeader;
      return p + length <= b.size() ? length : 0;
    },
    [](const Buffer& b, uint64_t p) { return b.startsWith(p + 8, "WAVE"); },
};

bool IsChunkId(const Buffer& b, uint64_t at) {
  for (uint64_t i = 0; i < 4; ++i) {
    const uint8_t c = b.u8(at + i);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return b.has(at, 8);
}

// A sound whose RIFF size is 0 or 0xFFFFFFFF, or reaches past the end of
// the buffer, as streaming writers leave it, is measured by its chunks: a
// format chunk, then a data chunk whose own size is taken when it fits (and
// runs to the end of the buffer when it too was left unset), then any
// chunks after it that fit. A chunk id is four printable bytes.
uint64_t ExtendedWAVLength(const Buffer& b, uint64_t p, WalkBudget& budget) {
  const uint32_t riff = b.le32(p + 4);
  const uint64_t stated = uint64_t{riff} + kRIFFHeader;
  if (riff != 0 && riff != 0xFFFFFFFF && p + stated <= b.size()) return stated;
  const uint64_t n = b.size();
  uint64_t q = p + 12;
  bool format = false, sound = false;
  while (IsChunkId(b, q)) {
    budget.spend(1);
    const uint32_t size = b.le32(q + 4);
    const uint64_t body = q + 8;
    if (b.startsWith(q, "data")) {
      if (!format) return 0;
      sound = true;
      if (size == 0 || size == 0xFFFFFFFF || size > n - body) return n - p;
    } else if (b.startsWith(q, "fmt ")) {
      if (size < 16) return 0;
      format = true;
    }
    const uint64_t end = body + size + (size & 1);
    if (end > n) break;
    q = end;
  }
  return sound ? q - p : 0;
}

constexpr SizedFormat kExtendedWAV = {
    "RIFF",
    12,
    "wav",
    ExtendedWAVLength,
    [](const Buffer& b, uint64_t p) { return b.startsWith(p + 8, "WAVE"); },
};

// The one pass of both formats.
int32_t StrellSized(ScanContext& context, const SizedFormat& format, const Buffer& data,
                    const std::string& from) {
  const uint64_t n = data.size();
  if (n <= kSmallestScannedBuffer) return 0;

  int32_t count = 0;
  WalkBudget budget(n);
  const uint64_t limit = n - format.window;
  uint64_t position = 0;
  while (position < limit && !context.stopStreller()) {
    uint64_t p = data.find(format.signature, position, limit);
    while (p != npos && !format.isSignature(data, p)) p = data.find(format.signature, p + 1, limit);
    if (p == npos) break;

    const uint64_t length = format.length(data, p, budget);
    if (length > 0) {
      if (p == 0 && length > n - 8) context.setAtomicFileFound(true);
      context.saveStrell(data, p, length, format.type, from, count);
      ++count;
      position = p + length;  // nothing inside the item is reported again
    } else {
      if (budget.exhausted()) break;
      position = p + format.window;
    }
  }
  return count;
}

}  // namespace

int32_t strellBMP(ScanContext& context, const Buffer& data, const std::string& from) {
  return StrellSized(context, context.extended() ? kExtendedBMP : kBMP, data, from);
}

int32_t strellWAV(ScanContext& context, const Buffer& data, const std::string& from) {
  return StrellSized(context, context.extended() ? kExtendedWAV : kWAV, data, from);
}

}  // namespace strellbox
