// Decoding the LZMA data of compressed Flash movies (ZWS), with the same
// output cap and work limits as an inflation.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/buffer.h"
#include "extractors/zip_deflate.h"

namespace strellbox {

// The most memory one decoder may take. The dictionary size comes from the
// data's own properties; the largest that the usual presets choose is 64 MiB
// (xz -9), and a crafted one may claim 4 GiB.
constexpr uint64_t kLzmaMemoryLimit = uint64_t{96} << 20;

// Decodes the LZMA stream of `size` bytes whose 5 property bytes stand at
// `props` and whose coded data follows them directly (as a ZWS movie holds
// it: no size field, an end marker or not). Nothing when the data does not
// decode to exactly `size` bytes, when `size` is above the output cap of
// the buffer (InflateCap), or when the limits run out first; `attempt`
// says what was spent, its input counted from the first coded byte.
std::optional<Buffer> DecodeLzma(const Buffer& data, uint64_t props, uint64_t size,
                                 InflateLimits limits, Inflater::Attempt& attempt);

}  // namespace strellbox
