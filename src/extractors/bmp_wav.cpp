// Windows bitmaps and RIFF WAVE sounds. Both state their total size in the
// header, so nothing inside the item is walked: find the signature, take the
// size, check that the item fits in the buffer, report it.
//
// With extended detection a bitmap may carry any of the information headers
// writers use today (the 12-byte OS/2 one up to the 124-byte v5 one, with
// its colour profile), and a sound whose RIFF size a streaming writer left
// unset or too large is measured by its chunks.
#include <algorithm>
#include <optional>
#include <span>

#include "engine/scan_context.h"
#include "extractors/image_scan.h"

namespace strellbox {

namespace {

// How one of the two formats is recognised and measured: candidates start
// before N - window, which is also the step past a dropped one.
struct SizedFormat {
  CarvedFormat carved;
  // The item's length from its header (64-bit: a size near 2^32 cannot wrap),
  // or 0 when the candidate is not taken, with how its end was known when
  // the header did not say. Walking work is charged to the budget.
  CarveLength (*length)(const Buffer& b, uint64_t p, WalkBudget& budget);
};

constexpr SizedFormat Sized(std::string_view type, std::span<const CarveSignature> signatures,
                            uint64_t window,
                            CarveLength (*length)(const Buffer&, uint64_t, WalkBudget&)) {
  return {{.type = type,
           .signatures = signatures,
           .window = window,
           .stepAfterDrop = window,
           .end = ItemEnd::kLength},
          length};
}

// --- BMP ---------------------------------------------------------------------

constexpr uint64_t kBMPFileHeader = 14;

constexpr uint64_t kBMPWindow = 32;
constexpr CarveSignature kBMPSignatures[] = {{"BM"}};

// The information header must be the common 40-byte one (only the low byte
// of its size is looked at). A size field of 0 would make an empty item and
// leave the search where it was; such a header is passed over.
CarveLength BMPLength(const Buffer& b, uint64_t p, WalkBudget&) {
  const uint64_t length = b.le32(p + 2);
  return length > 0 && p + length <= b.size() && b.u8(p + 14) == 0x28 ? length : 0;
}

constexpr SizedFormat kBMP = Sized("bmp", kBMPSignatures, kBMPWindow, BMPLength);

bool IsBitDepth(uint16_t bits) {
  return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 ||
         bits == 32 || bits == 64;
}

// Every information header in use: OS/2 1.x (12 bytes), Windows 3 (40),
// the Adobe extensions of it (52, 56), v4 (108) and v5 (124). The header
// must be believable as a whole (one plane, a bit depth there is, the pixel
// data behind the headers and inside the file), and a v5 header's embedded
// colour profile lies inside the item.
CarveLength ExtendedBMPLength(const Buffer& b, uint64_t p, WalkBudget&) {
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

constexpr SizedFormat kExtendedBMP = Sized("bmp", kBMPSignatures, kBMPWindow, ExtendedBMPLength);

// --- WAV ---------------------------------------------------------------------

constexpr uint64_t kRIFFHeader = 8;

constexpr uint64_t kWAVWindow = 12;
constexpr CarveSignature kWAVSignatures[] = {
    {"RIFF", [](const Buffer& b, uint64_t p) { return b.startsWith(p + 8, "WAVE"); }}};

CarveLength WAVLength(const Buffer& b, uint64_t p, WalkBudget&) {
  const uint64_t length = uint64_t{b.le32(p + 4)} + kRIFFHeader;
  return p + length <= b.size() ? length : 0;
}

constexpr SizedFormat kWAV = Sized("wav", kWAVSignatures, kWAVWindow, WAVLength);

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
CarveLength ExtendedWAVLength(const Buffer& b, uint64_t p, WalkBudget& budget) {
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
      if (size == 0 || size == 0xFFFFFFFF || size > n - body) return {n - p, ItemEnd::kBuffer};
    } else if (b.startsWith(q, "fmt ")) {
      if (size < 16) return 0;
      format = true;
    }
    const uint64_t end = body + size + (size & 1);
    if (end > n) break;
    q = end;
  }
  return {sound ? q - p : 0, ItemEnd::kWalk};
}

constexpr SizedFormat kExtendedWAV = Sized("wav", kWAVSignatures, kWAVWindow, ExtendedWAVLength);

// The one pass of both formats; nothing inside an item is reported again.
int32_t StrellSized(ScanContext& context, const SizedFormat& format, const Buffer& data,
                    const std::string& from) {
  return CarveItems(context, format.carved, data, from,
                    [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<CarveLength> {
                      return format.length(data, p, budget);
                    });
}

}  // namespace

int32_t strellBMP(ScanContext& context, const Buffer& data, const std::string& from) {
  return StrellSized(context, context.extended() ? kExtendedBMP : kBMP, data, from);
}

int32_t strellWAV(ScanContext& context, const Buffer& data, const std::string& from) {
  return StrellSized(context, context.extended() ? kExtendedWAV : kWAV, data, from);
}

}  // namespace strellbox
