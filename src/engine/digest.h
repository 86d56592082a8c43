// Digests of byte ranges: SHA-256 keys the found items of a job (duplicate
// detection, and the sha256 of the CLI's rows); MD5, whole or folded to the
// 32-bit key (the four big-endian words added modulo 2^32), keys the images
// of one PDF document.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>

#include "engine/buffer.h"

namespace strellbox {

using Md5 = std::array<uint8_t, 16>;

// The key of a found item among those already saved: SHA-256, which no one
// can make two different items share (as they can with MD5), and which this
// processor family computes faster than MD5.
using ItemDigest = std::array<uint8_t, 32>;

// Hashes a digest for an unordered container by its first eight bytes.
struct DigestHash {
  template <size_t N>
  size_t operator()(const std::array<uint8_t, N>& d) const noexcept {
    uint64_t v;
    std::memcpy(&v, d.data(), sizeof v);
    return static_cast<size_t>(v);
  }
};

// SHA-256 of [offset, offset + length), cut to the end of the buffer.
ItemDigest itemDigest(const Buffer& buffer, uint64_t offset, uint64_t length);

// MD5 of [offset, offset + length); a range past the end is cut to the end
// (and logged as "Check request too long").
Md5 md5Full(const Buffer& buffer, uint64_t offset, uint64_t length);
int32_t FoldMd5(const Md5& digest);

// The folded key of a range; 0 for an empty buffer.
int32_t md5DigestFrom(const Buffer& buffer, uint64_t offset, uint64_t length);
// The folded key of the whole buffer.
int32_t md5Digest(const Buffer& buffer);

}  // namespace strellbox
