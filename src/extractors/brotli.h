// Brotli streams, decoded by libbrotli under our own output bound.
//
// Brotli has no magic number: any bytes may start a stream that decodes to
// something. A buffer is decoded only where something says it is Brotli (a
// file named *.br, a cache entry's Content-Encoding), never by a search.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/buffer.h"

namespace strellbox {

enum class BrotliOutcome : uint8_t {
  kDecoded,    // one whole stream; bytes after its end are ignored
  kCorrupt,    // the decoder refused the bytes
  kTruncated,  // the input ended inside the stream
  kOverLimit,  // the output would pass maxOutput
  kNoMemory,
};

// Decodes the stream in [offset, offset + length) of `data` (clipped to
// the buffer), giving at most maxOutput bytes. The stream is decoded twice:
// once counting its output in a small window, and only when it ends within
// the limit again into storage of exactly that size, so that a bomb costs
// no more memory than a window, and its output work stops at the limit.
// Nothing unless the outcome is kDecoded.
std::optional<Buffer> DecodeBrotli(const Buffer& data, uint64_t offset, uint64_t length,
                                   uint64_t maxOutput, BrotliOutcome* outcome = nullptr);

// Bytes the Brotli decoder has produced in this process so far (both
// rounds, every thread), so that tests can check what a bomb cost.
uint64_t BrotliOutputSoFar();

}  // namespace strellbox
