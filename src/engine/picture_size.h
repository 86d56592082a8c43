// The width and height a picture's header gives, for the noise filter that
// leaves out spacers and icons.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/buffer.h"

namespace strellbox {

struct PictureSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const PictureSize&) const = default;
};

// The size of the picture whose bytes these are, from its header: PNG, GIF,
// JPEG (its first frame header), BMP, WebP and TIFF (the first directory,
// unless it is a preview that stands before the real image). Nothing for
// anything else, and for a header that cannot be read.
std::optional<PictureSize> PictureSizeOf(const Buffer& bytes);

}  // namespace strellbox
