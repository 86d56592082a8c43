#include "engine/picture_size.h"

#include <string_view>

namespace strellbox {

namespace {

using namespace std::string_view_literals;

// Segments of a JPEG looked at before its frame header: enough for any
// writer's metadata, and a bound on a crafted file.
constexpr int kMaxJpegSegments = 1000;
// Entries of the first TIFF directory looked at.
constexpr uint32_t kMaxTiffEntries = 1000;

std::optional<PictureSize> Sized(uint64_t width, uint64_t height) {
  if (width == 0 || height == 0 || width > UINT32_MAX || height > UINT32_MAX) return std::nullopt;
  return PictureSize{static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
}

std::optional<PictureSize> Png(const Buffer& b) {
  if (!b.startsWith(12, "IHDR")) return std::nullopt;
  return Sized(b.be32(16), b.be32(20));
}

std::optional<PictureSize> Gif(const Buffer& b) {
  if (!b.has(0, 10)) return std::nullopt;
  return Sized(b.le16(6), b.le16(8));
}

bool IsFrameHeader(uint8_t marker) {
  // SOF0 to SOF15, less DHT (C4), JPG (C8) and DAC (CC).
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

std::optional<PictureSize> Jpeg(const Buffer& b) {
  uint64_t q = 2;
  for (int segment = 0; segment < kMaxJpegSegments && b.has(q, 4); ++segment) {
    if (b.u8(q) != 0xFF) return std::nullopt;
    const uint8_t marker = b.u8(q + 1);
    if (marker == 0xFF) {  // a fill byte
      ++q;
      continue;
    }
    if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // EOI or scan data: no frame
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      q += 2;  // no length follows these
      continue;
    }
    if (IsFrameHeader(marker)) {
      if (!b.has(q + 5, 4)) return std::nullopt;
      return Sized(b.be16(q + 7), b.be16(q + 5));
    }
    const uint16_t length = b.be16(q + 2);
    if (length < 2) return std::nullopt;
    q += 2 + uint64_t{length};
  }
  return std::nullopt;
}

std::optional<PictureSize> Bmp(const Buffer& b) {
  const uint32_t info = b.le32(14);
  if (info == 12) return Sized(b.le16(18), b.le16(20));
  if (info < 40 || !b.has(14, info)) return std::nullopt;
  // A negative height is a picture stored top down.
  const auto width = static_cast<int32_t>(b.le32(18));
  const auto height = static_cast<int32_t>(b.le32(22));
  if (width <= 0 || height == INT32_MIN) return std::nullopt;
  return Sized(static_cast<uint64_t>(width), static_cast<uint64_t>(height < 0 ? -height : height));
}

uint32_t Le24(const Buffer& b, uint64_t i) {
  return uint32_t{b.u8(i)} | (uint32_t{b.u8(i + 1)} << 8) | (uint32_t{b.u8(i + 2)} << 16);
}

std::optional<PictureSize> WebP(const Buffer& b) {
  if (!b.has(0, 30)) return std::nullopt;
  if (b.startsWith(12, "VP8 ")) {
    // A key frame: its start code, then 14-bit width and height.
    if (!b.startsWith(23, "\x9D\x01\x2A"sv)) return std::nullopt;
    return Sized(b.le16(26) & 0x3FFF, b.le16(28) & 0x3FFF);
  }
  if (b.startsWith(12, "VP8L")) {
    if (b.u8(20) != 0x2F) return std::nullopt;
    const uint32_t bits = b.le32(21);
    return Sized((bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
  }
  if (b.startsWith(12, "VP8X")) return Sized(uint64_t{Le24(b, 24)} + 1, uint64_t{Le24(b, 27)} + 1);
  return std::nullopt;
}

std::optional<PictureSize> Tiff(const Buffer& b) {
  const bool little = b.startsWith(0, "II*\0"sv);
  if (!little && !b.startsWith(0, "MM\0*"sv)) return std::nullopt;  // BigTIFF too: not read
  auto u16 = [&](uint64_t i) { return little ? b.le16(i) : b.be16(i); };
  auto u32 = [&](uint64_t i) { return little ? b.le32(i) : b.be32(i); };
  const uint64_t directory = u32(4);
  const uint32_t entries = u16(directory);
  if (entries == 0 || entries > kMaxTiffEntries || !b.has(directory + 2, uint64_t{entries} * 12))
    return std::nullopt;
  uint64_t width = 0, height = 0;
  for (uint32_t k = 0; k < entries; ++k) {
    const uint64_t entry = directory + 2 + uint64_t{k} * 12;
    const uint16_t tag = u16(entry);
    const uint16_t type = u16(entry + 2);
    const uint64_t value = type == 3 ? u16(entry + 8) : type == 4 ? u32(entry + 8) : 0;
    switch (tag) {
      case 254:  // NewSubfileType: a reduced-resolution picture stands in for the real one
        if (value & 1) return std::nullopt;
        break;
      case 256:
        width = value;
        break;
      case 257:
        height = value;
        break;
      case 330:  // SubIFDs: a camera raw file, whose first directory is its preview
        return std::nullopt;
    }
  }
  return Sized(width, height);
}

}  // namespace

std::optional<PictureSize> PictureSizeOf(const Buffer& bytes) {
  if (bytes.startsWith(0, "\x89PNG\r\n\x1a\n"sv)) return Png(bytes);
  if (bytes.startsWith(0, "GIF87a") || bytes.startsWith(0, "GIF89a")) return Gif(bytes);
  if (bytes.startsWith(0, "\xFF\xD8"sv)) return Jpeg(bytes);
  if (bytes.startsWith(0, "BM")) return Bmp(bytes);
  if (bytes.startsWith(0, "RIFF") && bytes.startsWith(8, "WEBP")) return WebP(bytes);
  return Tiff(bytes);
}

}  // namespace strellbox
