#include "extractors/lzma.h"

#include <lzma.h>

#include <algorithm>
#include <vector>

namespace strellbox {

namespace {

constexpr uint64_t kPropsLength = 5;
// Most bytes handed to the decoder in one call, in and out, so that a work
// limit is checked often enough.
constexpr uint64_t kSlice = uint64_t{1} << 20;
// The output's first length; it doubles as the data decodes.
constexpr uint64_t kFirstOutput = uint64_t{1} << 16;
// What setting up a decoder costs in work units: its probability tables and
// buffers, some tens of kilobytes. Charged to every attempt, so that a
// buffer of headers cannot make the pass set up millions of decoders.
constexpr uint64_t kSetupWork = uint64_t{1} << 15;
// Property bytes above this name no valid (lc, lp, pb).
constexpr uint8_t kHighestProperties = 224;

struct Stream {
  lzma_stream z = LZMA_STREAM_INIT;
  ~Stream() { lzma_end(&z); }
};

}  // namespace

std::optional<Buffer> DecodeLzma(const Buffer& data, uint64_t props, uint64_t size,
                                 InflateLimits limits, Inflater::Attempt& attempt) {
  using Outcome = Inflater::Outcome;
  attempt = Inflater::Attempt{};
  const uint64_t start = props + kPropsLength;
  if (!data.has(props, kPropsLength) || start >= data.size()) return std::nullopt;
  if (size > InflateCap(data.size()) || size > limits.output) {
    attempt.outcome = Outcome::kCapReached;
    return std::nullopt;
  }

  // The range coder's first byte is always 0: most false headers end here.
  if (data.u8(props) > kHighestProperties || data.u8(start) != 0) {
    attempt.outcome = Outcome::kBadStream;
    return std::nullopt;
  }
  if (limits.work < kSetupWork) {
    attempt.outcome = Outcome::kOverWorkLimit;
    attempt.starved = true;
    return std::nullopt;
  }
  attempt.charged = kSetupWork;
  limits.work -= kSetupWork;

  Stream s;
  if (lzma_alone_decoder(&s.z, kLzmaMemoryLimit) != LZMA_OK) {
    attempt.outcome = Outcome::kNoMemory;
    return std::nullopt;
  }
  // The .lzma header the decoder expects: the properties, then the size.
  uint8_t header[kPropsLength + 8];
  std::copy_n(data.data() + props, kPropsLength, header);
  for (int i = 0; i < 8; ++i) header[kPropsLength + i] = static_cast<uint8_t>(size >> (8 * i));
  std::vector<uint8_t> out(std::min(size, kFirstOutput));
  s.z.next_in = header;
  s.z.avail_in = sizeof header;
  s.z.next_out = out.data();
  s.z.avail_out = out.size();
  lzma_ret ret = lzma_code(&s.z, LZMA_RUN);  // takes the header; may need no data at all
  if (ret != LZMA_OK && ret != LZMA_STREAM_END) {
    attempt.outcome = ret == LZMA_MEMLIMIT_ERROR || ret == LZMA_MEM_ERROR ? Outcome::kNoMemory
                                                                          : Outcome::kBadStream;
    return std::nullopt;
  }

  const bool inputLimited = limits.input < data.size() - start;
  const uint64_t available = inputLimited ? limits.input : data.size() - start;
  uint64_t consumed = 0, produced = s.z.total_out, charged = 0;
  attempt.charged = 0;
  Outcome outcome = Outcome::kBadStream;
  while (ret != LZMA_STREAM_END) {
    // Input goes in pieces wholly inside or outside the charged range.
    uint64_t chunk = std::min(available - consumed, kSlice);
    if (consumed < limits.chargedFrom)
      chunk = std::min(chunk, limits.chargedFrom - consumed);
    else if (consumed < limits.chargedTo)
      chunk = std::min(chunk, limits.chargedTo - consumed);
    const bool chargedInput = consumed >= limits.chargedFrom && consumed < limits.chargedTo;
    if (chargedInput && charged >= limits.work) {
      outcome = Outcome::kOverWorkLimit;
      attempt.starved = true;
      break;
    }
    if (chargedInput) chunk = std::min(chunk, limits.work - charged);
    if (produced == out.size()) out.resize(std::min(size, out.size() * 2));
    s.z.next_in = data.data() + start + consumed;
    s.z.avail_in = chunk;
    s.z.next_out = out.data() + produced;
    const uint64_t slice = chargedInput ? std::max<uint64_t>(1, limits.work - charged) : kSlice;
    s.z.avail_out = std::min(out.size() - produced, slice);
    ret = lzma_code(&s.z, chunk == 0 ? LZMA_FINISH : LZMA_RUN);
    const uint64_t read = chunk - s.z.avail_in;
    const uint64_t written = s.z.total_out - produced;
    consumed += read;
    produced = s.z.total_out;
    if (chargedInput) charged += read + written;
    if (ret == LZMA_STREAM_END) break;
    if (ret == LZMA_MEMLIMIT_ERROR || ret == LZMA_MEM_ERROR) {
      outcome = Outcome::kNoMemory;
      break;
    }
    if (ret != LZMA_OK && ret != LZMA_BUF_ERROR) break;  // corrupt data
    if (ret == LZMA_BUF_ERROR || (read == 0 && written == 0)) {
      // Neither input nor room was the problem: the data ran out.
      outcome = inputLimited ? Outcome::kOverWorkLimit : Outcome::kTruncated;
      break;
    }
  }
  if (ret == LZMA_STREAM_END) outcome = produced == size ? Outcome::kInflated : Outcome::kBadStream;
  attempt.outcome = outcome;
  attempt.consumed = consumed;
  attempt.produced = produced;
  attempt.outputLength = out.size();
  attempt.allocated = out.size();
  attempt.charged = kSetupWork + charged;
  if (outcome != Outcome::kInflated) return std::nullopt;
  out.resize(produced);
  return Buffer(std::move(out));
}

}  // namespace strellbox
