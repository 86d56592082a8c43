// Brotli through libbrotli's streaming decoder, a window at a time.
#include "extractors/brotli.h"

#include <brotli/decode.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/decoder_table.h"

namespace strellbox {

namespace {

// Output taken from the decoder per call in the counting round.
constexpr size_t kWindow = 64 * 1024;

std::atomic<uint64_t> gBrotliOutput{0};

struct DecoderFree {
  void operator()(BrotliDecoderState* s) const { BrotliDecoderDestroyInstance(s); }
};

// Runs the decoder over `in`; with `dest`, writes the output there (it has
// room for `limit` bytes, never all used by a stream that fits), otherwise
// only counts it. `produced` gets the output length so far.
BrotliOutcome Run(const uint8_t* in, size_t n, uint64_t limit, uint8_t* dest, uint64_t& produced) {
  std::unique_ptr<BrotliDecoderState, DecoderFree> state(
      BrotliDecoderCreateInstance(nullptr, nullptr, nullptr));
  if (!state) return BrotliOutcome::kNoMemory;
  std::vector<uint8_t> window(dest ? 0 : kWindow);
  produced = 0;
  size_t availIn = n;
  const uint8_t* nextIn = in;
  for (;;) {
    // The counting round asks for one byte past the limit, so that a stream
    // that would pass it shows itself without being decoded further.
    const uint64_t room =
        dest ? limit - produced : std::min<uint64_t>(kWindow, limit - produced + 1);
    uint8_t* out = dest ? dest + produced : window.data();
    size_t availOut = static_cast<size_t>(room);
    const BrotliDecoderResult r =
        BrotliDecoderDecompressStream(state.get(), &availIn, &nextIn, &availOut, &out, nullptr);
    const uint64_t got = room - availOut;
    produced += got;
    gBrotliOutput.fetch_add(got, std::memory_order_relaxed);
    if (produced > limit) return BrotliOutcome::kOverLimit;
    switch (r) {
      case BROTLI_DECODER_RESULT_SUCCESS:
        return BrotliOutcome::kDecoded;
      case BROTLI_DECODER_RESULT_ERROR:
        return BrotliOutcome::kCorrupt;
      case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
        return BrotliOutcome::kTruncated;
      case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
        // Full storage that the decoder still wants to pass.
        if (dest && produced == limit) return BrotliOutcome::kOverLimit;
        break;
    }
  }
}

}  // namespace

std::optional<Buffer> DecodeBrotli(const Buffer& data, uint64_t offset, uint64_t length,
                                   uint64_t maxOutput, BrotliOutcome* outcome) {
  BrotliOutcome local = BrotliOutcome::kCorrupt;
  BrotliOutcome& result = outcome ? *outcome : local;
  result = BrotliOutcome::kCorrupt;
  if (offset >= data.size()) return std::nullopt;
  const uint64_t n = std::min(length, data.size() - offset);
  uint64_t counted = 0;
  result = Run(data.data() + offset, n, maxOutput, nullptr, counted);
  if (result != BrotliOutcome::kDecoded) return std::nullopt;
  // One byte to spare, so that the decoder always has room to say it is done.
  std::vector<uint8_t> out(counted + 1);
  uint64_t produced = 0;
  result = Run(data.data() + offset, n, counted + 1, out.data(), produced);
  if (result != BrotliOutcome::kDecoded || produced != counted) {
    if (result == BrotliOutcome::kDecoded) result = BrotliOutcome::kCorrupt;
    return std::nullopt;
  }
  out.resize(counted);
  return Buffer(std::move(out));
}

uint64_t BrotliOutputSoFar() { return gBrotliOutput.load(std::memory_order_relaxed); }

std::optional<Buffer> DecodeBrotliAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  return DecodeBrotli(data, offset, Buffer::npos, maxOutput);
}

}  // namespace strellbox
