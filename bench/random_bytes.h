// Random bytes for the false-positive counts: a buffer filled from a
// seeded generator, eight bytes a draw.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "engine/buffer.h"

namespace strellbox {

inline Buffer RandomBuffer(std::mt19937_64& rng, uint64_t n) {
  std::vector<uint8_t> bytes(n);
  for (uint64_t i = 0; i + 8 <= n; i += 8) {
    const uint64_t v = rng();
    for (int k = 0; k < 8; ++k) bytes[i + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  return Buffer(std::move(bytes));
}

}  // namespace strellbox
