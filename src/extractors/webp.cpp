// WebP images: a RIFF file of form type WEBP, measured by its RIFF size and
// checked chunk by chunk: the chunks must fill the stated size exactly, the
// first must be an image (VP8, VP8L) or the extended header (VP8X), and an
// image's own signature must stand in it. A row of its own, run with
// extended detection.
#include <optional>

#include "engine/scan_context.h"
#include "extractors/image_scan.h"

namespace strellbox {

namespace {

constexpr uint64_t kHeader = 12;      // "RIFF", the size, "WEBP"
constexpr uint64_t kChunkHeader = 8;  // FourCC and size
constexpr uint64_t kVP8XLength = 10;
// Chunk steps one pass may take, per byte of its buffer: a chunk has at
// least 8 bytes, and real files take one step per image, frame or metadata
// block (an animation of 10000 frames of 100 bytes takes one step in 100
// bytes). Crafted chunk chains that the walks from many hidden headers run
// along end the pass once the steps run out.
constexpr uint64_t kBytesPerStep = 8;

bool IsFourCC(const Buffer& b, uint64_t at) {
  for (uint64_t i = 0; i < 4; ++i) {
    const uint8_t c = b.u8(at + i);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// A lossy frame: a frame tag of 3 bytes (a key frame has bit 0 clear),
// then the start code 9D 01 2A.
bool IsVP8(const Buffer& b, uint64_t data, uint64_t size) {
  return size >= 10 && (b.u8(data) & 1) == 0 && b.startsWith(data + 3, "\x9D\x01\x2A");
}

// A lossless image starts with the signature byte 2F.
bool IsVP8L(const Buffer& b, uint64_t data, uint64_t size) {
  return size >= 5 && b.u8(data) == 0x2F;
}

// The length of the WebP file at p, or 0 when it does not check.
uint64_t MeasureWebP(const Buffer& b, uint64_t p, WalkBudget& budget) {
  const uint64_t stated = b.le32(p + 4);
  const uint64_t end = p + 8 + stated;  // the size counts what follows it
  if (stated < 4 + kChunkHeader || (stated & 1) || end > b.size()) return 0;
  uint64_t q = p + kHeader;
  bool first = true, image = false;
  while (q < end) {
    budget.spend(1);
    if (!b.has(q, kChunkHeader) || q + kChunkHeader > end || !IsFourCC(b, q)) return 0;
    const uint64_t size = b.le32(q + 4);
    const uint64_t data = q + kChunkHeader;
    if (size > end - data) return 0;
    if (b.startsWith(q, "VP8 ")) {
      if (!IsVP8(b, data, size)) return 0;
      image = true;
    } else if (b.startsWith(q, "VP8L")) {
      if (!IsVP8L(b, data, size)) return 0;
      image = true;
    } else if (b.startsWith(q, "VP8X")) {
      if (!first || size != kVP8XLength) return 0;
    } else if (b.startsWith(q, "ANMF")) {
      image = true;  // an animation frame holds its own image chunks
    } else if (first) {
      return 0;
    }
    first = false;
    q = data + size + (size & 1);
  }
  return q == end && image ? end - p : 0;
}

constexpr CarveSignature kWebPSignatures[] = {
    {"RIFF", [](const Buffer& b, uint64_t p) { return b.startsWith(p + 8, "WEBP"); }}};
constexpr CarvedFormat kWebP = {
    .type = "webp",
    .signatures = kWebPSignatures,
    .window = kHeader,
    .stepAfterDrop = kHeader,
    .budget = [](uint64_t n) { return WalkBudget::ofUnits(n / kBytesPerStep); },
    .end = ItemEnd::kLength,
};

}  // namespace

int32_t strellWebP(ScanContext& context, const Buffer& data, const std::string& from) {
  return CarveItems(context, kWebP, data, from,
                    [&](uint64_t p, WalkBudget& budget, WalkMode) -> std::optional<uint64_t> {
                      return MeasureWebP(data, p, budget);
                    });
}

}  // namespace strellbox
