// The merged image of a PSD or PSB file, for showing it: the file's own
// composite, which every writer that keeps layers stores beside them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/buffer.h"

namespace strellbox {

struct RgbImage {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> rgb;  // three bytes a pixel, rows top to bottom
};

// The composite of the file that `file` opens with, of 8 or 16 bits a
// sample, grey, indexed, RGB or CMYK, raw or packed; nothing for any other,
// for one cut short, or one of more than `maxPixels` pixels.
std::optional<RgbImage> PsdCompositeOf(const Buffer& file, uint64_t maxPixels);

}  // namespace strellbox
