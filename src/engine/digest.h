// MD5 digests of byte ranges: the full 16 bytes for duplicate detection, and
// the 32-bit folded key (the four big-endian words added modulo 2^32).
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "engine/buffer.h"

namespace strellbox {

using Md5 = std::array<uint8_t, 16>;

struct Md5Hash {
  size_t operator()(const Md5& d) const noexcept {
    uint64_t v;
    std::memcpy(&v, d.data(), sizeof v);
    return static_cast<size_t>(v);
  }
};

// MD5 of [offset, offset + length); a range past the end is cut to the end
// (and logged as "Check request too long").
Md5 md5Full(const Buffer& buffer, uint64_t offset, uint64_t length);
int32_t FoldMd5(const Md5& digest);

// The folded key of a range; 0 for an empty buffer.
int32_t md5DigestFrom(const Buffer& buffer, uint64_t offset, uint64_t length);
// The folded key of the whole buffer.
int32_t md5Digest(const Buffer& buffer);

}  // namespace strellbox
