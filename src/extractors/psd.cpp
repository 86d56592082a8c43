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
#include <algorithm>
#include <optional>

#include "engine/carve.h"
#include "engine/cursor.h"
#include "engine/scan_context.h"
#include "extractors/psd.h"

namespace strellbox {

namespace {

constexpr uint64_t kHeader = 26;
constexpr uint16_t kMaxChannels = 56;
constexpr uint32_t kMaxSide = 30000, kMaxLargeSide = 300000;
constexpr uint16_t kRaw = 0, kRunLength = 1;
constexpr uint64_t kPalette = 768;
constexpr uint16_t kGrey = 1, kIndexed = 2, kRgb = 3, kCmyk = 4;

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

// The header and the sections before the merged image of the file at p,
// each checked and stepped over: the cursor is left on the image's
// compression field.
struct Header {
  uint16_t channels, depth, mode;
  uint32_t height, width;
  bool large;        // a PSB
  uint64_t palette;  // where an indexed file's colour table starts
};
std::optional<Header> ReadHeader(const Buffer& b, uint64_t p, Cursor& at, WalkBudget& budget) {
  budget.spend(1);
  at = Cursor(b, p + 4);
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
  const uint64_t palette = at.at();
  if (!colours || (*mode == kIndexed && *colours != kPalette) || !at.skip(*colours))
    return std::nullopt;
  const auto resources = at.be32();
  if (!resources) return std::nullopt;
  Cursor section = at.window(*resources);
  if (!at.ok() || !ResourcesFill(section, budget)) return std::nullopt;
  const std::optional<uint64_t> layers = Length(at, large);
  if (!layers || !at.skip(*layers)) return std::nullopt;
  return Header{*channels, *depth, *mode, *height, *width, large, palette};
}

std::optional<CarveLength> MeasurePsd(const Buffer& b, uint64_t p, WalkBudget& budget) {
  Cursor at(b);
  const std::optional<Header> h = ReadHeader(b, p, at, budget);
  if (!h) return std::nullopt;
  const bool large = h->large;
  const uint64_t depth = h->depth, width = h->width, height = h->height, channels = h->channels;

  const auto compression = at.be16();
  if (!compression) return std::nullopt;
  const uint64_t rowBytes = (width * depth + 7) / 8;
  const uint64_t rows = height * channels;
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

// PackBits, as Photoshop packs each row: whether [in, in + length) fills
// `out` exactly.
bool Unpack(std::string_view in, uint8_t* out, uint64_t want) {
  uint64_t i = 0, o = 0;
  while (i < in.size() && o < want) {
    const auto n = static_cast<int8_t>(in[i++]);
    if (n >= 0) {
      const uint64_t count = static_cast<uint64_t>(n) + 1;
      if (count > in.size() - i || count > want - o) return false;
      std::copy_n(in.data() + i, count, out + o);
      i += count;
      o += count;
    } else if (n != -128) {
      const uint64_t count = static_cast<uint64_t>(1 - n);
      if (i >= in.size() || count > want - o) return false;
      std::fill_n(out + o, count, static_cast<uint8_t>(in[i++]));
      o += count;
    }
  }
  return o == want;
}

}  // namespace

std::optional<RgbImage> PsdCompositeOf(const Buffer& file, uint64_t maxPixels) {
  if (!file.startsWith(0, "8BPS")) return std::nullopt;
  WalkBudget budget(file.size());
  Cursor at(file);
  const std::optional<Header> h = ReadHeader(file, 0, at, budget);
  if (!h) return std::nullopt;
  const bool large = h->large;
  const uint16_t mode = h->mode, planes = mode == kRgb ? 3 : mode == kCmyk ? 4 : 1;
  const uint64_t width = h->width, height = h->height, channels = h->channels;
  if ((h->depth != 8 && h->depth != 16) ||
      (mode != kGrey && mode != kIndexed && mode != kRgb && mode != kCmyk) || channels < planes ||
      width * height > maxPixels)
    return std::nullopt;
  const uint64_t palette = h->palette;
  const auto compression = at.be16();
  if (!compression || (*compression != kRaw && *compression != kRunLength)) return std::nullopt;

  // The planes shown, a byte a sample (the high byte of a 16-bit one).
  const uint64_t sample = h->depth / 8u, rowBytes = width * sample;
  const uint64_t area = width * height, rows = height * planes;
  Cursor counts = at;
  if (*compression == kRunLength) {
    const uint64_t countBytes = large ? 4 : 2;
    if (height * channels > at.left() / countBytes) return std::nullopt;
    at.skip(height * channels * countBytes);
  } else if (rows > at.left() / rowBytes) {
    return std::nullopt;
  }
  std::vector<uint8_t> plane(planes * area), row(rowBytes);
  for (uint64_t r = 0; r < rows; ++r) {
    const std::optional<uint64_t> length =
        *compression == kRunLength ? Length(counts, large, 2) : std::optional(rowBytes);
    if (!length) return std::nullopt;
    const std::optional<std::string_view> stored = at.bytes(*length);
    if (!stored) return std::nullopt;
    if (*compression == kRunLength) {
      if (!Unpack(*stored, row.data(), rowBytes)) return std::nullopt;
    } else {
      std::copy(stored->begin(), stored->end(), row.begin());
    }
    uint8_t* out = plane.data() + r * width;
    for (uint64_t x = 0; x < width; ++x) out[x] = row[x * sample];
  }

  RgbImage image{h->width, h->height, std::vector<uint8_t>(3 * area)};
  for (uint64_t i = 0; i < area; ++i) {
    uint8_t* px = image.rgb.data() + 3 * i;
    const uint8_t v = plane[i];
    switch (mode) {
      case kRgb:
        px[0] = v, px[1] = plane[area + i], px[2] = plane[2 * area + i];
        break;
      case kCmyk: {  // stored inverted: 255 is no ink
        const unsigned k = plane[3 * area + i];
        px[0] = static_cast<uint8_t>(v * k / 255);
        px[1] = static_cast<uint8_t>(plane[area + i] * k / 255);
        px[2] = static_cast<uint8_t>(plane[2 * area + i] * k / 255);
        break;
      }
      case kIndexed:
        px[0] = file.u8(palette + v), px[1] = file.u8(palette + 256 + v);
        px[2] = file.u8(palette + 512 + v);
        break;
      default:
        px[0] = px[1] = px[2] = v;
    }
  }
  return image;
}

int32_t strellPSD(ScanContext& context, const Buffer& data, const std::string& from) {
  return CarveItems(context, kPsd, data, from, [&](uint64_t p, WalkBudget& budget, WalkMode) {
    return MeasurePsd(data, p, budget);
  });
}

}  // namespace strellbox
