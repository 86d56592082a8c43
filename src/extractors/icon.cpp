// Windows icons and cursors.
//
// A 6-byte header (reserved 0, type 1 for an icon or 2 for a cursor, the
// number of images), one 16-byte directory entry per image, then the
// images, each where its entry says. The header has only four fixed bytes,
// which random data holds about once in every 4 GB and zero-filled data
// far more often, so every entry is confirmed: its sizes, its place behind
// the directory and inside the buffer, and at that place an image of the
// size it states (a BITMAPINFOHEADER of twice its height, for the mask, or
// a PNG). The file ends with the image that ends furthest.
#include <algorithm>
#include <optional>

#include "engine/carve.h"
#include "engine/cursor.h"
#include "engine/scan_context.h"

namespace strellbox {

namespace {

constexpr uint64_t kHeader = 6;
constexpr uint64_t kEntry = 16;
constexpr uint32_t kInfoHeader = 40;            // BITMAPINFOHEADER
constexpr uint64_t kSmallestPng = 8 + 25 + 12;  // signature, IHDR, IEND
constexpr uint16_t kIcon = 1, kCursor = 2;

bool IsBitCount(uint16_t bits) {
  return bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Whether a stated side (0 for 256 or more) fits the image's own.
bool SideFits(uint8_t stated, uint32_t actual) {
  return stated == 0 ? actual >= 256 : actual == stated;
}

// Whether the image of `size` bytes at q is the one the entry describes.
bool ImageFits(const Buffer& b, uint64_t q, uint64_t size, uint8_t width, uint8_t height) {
  Cursor at(b, q);
  if (at.startsWith("\x89PNG\r\n\x1A\n")) {
    at.skip(8);
    at.skip(4);
    if (size < kSmallestPng || !at.startsWith("IHDR")) return false;
    at.skip(4);
    const auto w = at.be32();
    const auto h = at.be32();
    return h && SideFits(width, *w) && SideFits(height, *h);
  }
  const auto header = at.le32();
  const auto w = at.le32();
  const auto h = at.le32();
  const auto planes = at.le16();
  const auto bits = at.le16();
  if (!bits || *header != kInfoHeader || size < kInfoHeader) return false;
  // Images of 256 have their sides in the header only.
  const uint32_t side = width == 0 ? 256 : width;
  return *w == side && *h == 2 * uint64_t{height == 0 ? 256u : height} && *planes == 1 &&
         IsBitCount(*bits);
}

std::optional<CarveLength> MeasureIcon(const Buffer& b, uint64_t p, WalkBudget& budget) {
  Cursor at(b, p);
  const auto reserved = at.le16();
  const auto type = at.le16();
  const auto count = at.le16();
  if (!count || *reserved != 0 || (*type != kIcon && *type != kCursor) || *count == 0)
    return std::nullopt;
  const uint64_t available = b.size() - p;
  const uint64_t directoryEnd = kHeader + kEntry * *count;
  if (directoryEnd > available) return std::nullopt;
  uint64_t end = directoryEnd;
  for (uint32_t i = 0; i < *count; ++i) {
    budget.spend(1);
    const auto width = at.u8();
    const auto height = at.u8();
    at.u8();  // colours in the palette
    const auto zero = at.u8();
    const auto planes = at.le16();  // the hot spot's x in a cursor
    const auto bits = at.le16();    // and its y
    const auto size = at.le32();
    const auto offset = at.le32();
    if (!offset || *zero != 0 || *size == 0) return std::nullopt;
    if (*type == kIcon && (*planes > 1 || (*bits != 0 && !IsBitCount(*bits)))) return std::nullopt;
    if (*offset < directoryEnd || *offset > available || *size > available - *offset)
      return std::nullopt;
    if (!ImageFits(b, p + *offset, *size, *width, *height)) return std::nullopt;
    end = std::max(end, uint64_t{*offset} + *size);
  }
  return end;
}

// The first entry, confirmed before a walk: its reserved byte and an image
// offset behind a directory of the stated count.
bool ConfirmIcon(const Buffer& b, uint64_t p) {
  const uint16_t count = b.le16(p + 4);
  return count != 0 && b.u8(p + 9) == 0 && b.le32(p + 18) >= kHeader + kEntry * count &&
         b.le32(p + 14) != 0;
}

constexpr CarveSignature kSignatures[] = {{{"\0\0\1\0", 4}, ConfirmIcon},
                                          {{"\0\0\2\0", 4}, ConfirmIcon}};
constexpr CarvedFormat kIconFormat = {
    .type = "ico",
    .signatures = kSignatures,
    .window = kHeader + kEntry,
    .end = ItemEnd::kLength,
    .typeOf = [](const Buffer& b, uint64_t p, uint64_t) -> std::string_view {
      return b.le16(p + 2) == kCursor ? "cur" : "ico";
    },
};

}  // namespace

int32_t strellIcon(ScanContext& context, const Buffer& data, const std::string& from) {
  return CarveItems(
      context, kIconFormat, data, from,
      [&](uint64_t p, WalkBudget& budget, WalkMode) { return MeasureIcon(data, p, budget); });
}

}  // namespace strellbox
