// Layered image files of the "8BPS" signature, in their two versions: 1
// (PSD) and 2 (PSB, the large one, whose layer section and run-length
// counts are twice as wide).
//
// The 26-byte header is checked field by field, then the sections are
// stepped over by their lengths (colour mode data, image resources, layer
// and mask information); the image resources are walked block by block,
// since they must fill their section exactly. The merged image closes the
// file, measured by its compression: raw is channels × rows × row bytes,
// run-length is a table of one count per channel row and then the sum of
// those counts. A deflated merged image has no length of its own and is
// not measured: such files are not items. No claim is trusted beyond the
// bytes the buffer holds, so a header stating 300000 × 300000 costs no
// more than the bytes behind it.
//
// The file stays open to the other passes: its image resources hold a JPEG
// thumbnail, and it is the pass tried first on a buffer that starts with
// the signature.
#include <optional>

#include "engine/carve.h"
#include "engine/cursor.h"
#include "engine/scan_context.h"

namespace strellbox {

namespace {

constexpr uint64_t kHeader = 26;
constexpr uint16_t kMaxChannels = 56;
constexpr uint32_t kMaxSide = 30000, kMaxLargeSide = 300000;
constexpr uint16_t kRaw = 0, kRunLength = 1;
constexpr uint64_t kPalette = 768;
constexpr uint16_t kIndexed = 2;

bool IsColourMode(uint16_t mode) {
  // Bitmap, grey, indexed, RGB, CMYK, multichannel, duotone, Lab.
  return mode <= 4 || (mode >= 7 && mode <= 9);
}

// Walks the image resource blocks that fill the section in the cursor.
bool ResourcesFill(Cursor section, WalkBudget& budget) {
  while (section.ok() && section.left() > 0) {
    budget.spend(1);
    const auto kind = section.bytes(4);
    if (!kind || (*kind != "8BIM" && *kind != "MeSa" && *kind != "AgHg" && *kind != "PHUT" &&
                  *kind != "DCSR"))
      return false;
    section.be16();  // the resource's ID
    // Its name: a Pascal string padded to an even length.
    const auto nameLength = section.u8();
    if (!nameLength) return false;
    section.skip(*nameLength + ((*nameLength + 1) % 2));
    const auto size = section.be32();
    if (!size) return false;
    section.skip(uint64_t{*size} + (*size % 2));
  }
  return section.ok();
}

// A length field: 8 bytes in a PSB, 4 in a PSD (or `narrow` bytes, for
// fields that are 2 bytes in a PSD and 4 in a PSB).
std::optional<uint64_t> Length(Cursor& at, bool large, int narrow = 4) {
  if (large && narrow == 2) return at.be32();
  if (!large && narrow == 2) return at.be16();
  if (!large) return at.be32();
  const auto high = at.be32();
  const auto low = at.be32();
  if (!low) return std::nullopt;
  return (uint64_t{*high} << 32) | *low;
}

std::optional<CarveLength> MeasurePsd(const Buffer& b, uint64_t p, WalkBudget& budget) {
  budget.spend(1);
  Cursor at(b, p + 4);
  const auto version = at.be16();
  const auto reserved = at.bytes(6);
  const auto channels = at.be16();
  const auto height = at.be32();
  const auto width = at.be32();
  const auto depth = at.be16();
  const auto mode = at.be16();
  if (!mode || (*version != 1 && *version != 2) || *reserved != std::string_view("\0\0\0\0\0\0", 6))
    return std::nullopt;
  const bool large = *version == 2;
  const uint32_t maxSide = large ? kMaxLargeSide : kMaxSide;
  if (*channels == 0 || *channels > kMaxChannels || *height == 0 || *height > maxSide ||
      *width == 0 || *width > maxSide || !IsColourMode(*mode))
    return std::nullopt;
  if (*depth != 1 && *depth != 8 && *depth != 16 && *depth != 32) return std::nullopt;

  const auto colours = at.be32();
  if (!colours || (*mode == kIndexed && *colours != kPalette) || !at.skip(*colours))
    return std::nullopt;
  const auto resources = at.be32();
  if (!resources) return std::nullopt;
  Cursor section = at.window(*resources);
  if (!at.ok() || !ResourcesFill(section, budget)) return std::nullopt;
  const std::optional<uint64_t> layers = Length(at, large);
  if (!layers || !at.skip(*layers)) return std::nullopt;

  const auto compression = at.be16();
  if (!compression) return std::nullopt;
  const uint64_t rowBytes = (uint64_t{*width} * *depth + 7) / 8;
  const uint64_t rows = uint64_t{*height} * *channels;
  if (*compression == kRaw) {
    if (rows > at.left() / rowBytes || !at.skip(rows * rowBytes)) return std::nullopt;
    return at.at() - p;
  }
  if (*compression != kRunLength) return std::nullopt;
  const uint64_t countBytes = large ? 4 : 2;
  if (rows > at.left() / countBytes) return std::nullopt;
  // A packed row is at most twice its bytes: a packet holds at least one
  // byte behind its one header byte, however poorly an encoder splits it.
  const uint64_t mostPacked = 2 * rowBytes;
  Cursor table = at.window(rows * countBytes);
  uint64_t packed = 0;
  for (uint64_t i = 0; i < rows; ++i) {
    budget.spend(1);
    const std::optional<uint64_t> count = Length(table, large, 2);
    if (!count || *count > mostPacked) return std::nullopt;
    packed += *count;
  }
  if (!at.skip(packed)) return std::nullopt;
  return at.at() - p;
}

constexpr CarveSignature kSignatures[] = {{"8BPS", [](const Buffer& b, uint64_t p) {
                                             const uint16_t version = b.be16(p + 4);
                                             return (version == 1 || version == 2) &&
                                                    b.be32(p + 6) == 0 && b.be16(p + 10) == 0;
                                           }}};
constexpr CarvedFormat kPsd = {
    .type = "psd",
    .signatures = kSignatures,
    .window = kHeader,
    .stepAfterDrop = 4,
    .wholeBufferItems = false,
    .typeOf = [](const Buffer& b, uint64_t p, uint64_t) -> std::string_view {
      return b.be16(p + 4) == 2 ? "psb" : "psd";
    },
};

}  // namespace

int32_t strellPSD(ScanContext& context, const Buffer& data, const std::string& from) {
  return CarveItems(context, kPsd, data, from, [&](uint64_t p, WalkBudget& budget, WalkMode) {
    return MeasurePsd(data, p, budget);
  });
}

}  // namespace strellbox
