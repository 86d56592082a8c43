// Inflate against zlib's own one-shot decoder, and the reused, limited state
// against a fresh one. The first input byte picks the start offset and the
// limits; the rest is the buffer.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "extractors/zip_deflate.h"

using strellbox::Buffer;
using strellbox::Inflater;

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint64_t start = (data[0] >> 1) & 0x07;
  const uint64_t limit =
      (data[0] >> 4) == 0 ? UINT64_MAX : static_cast<uint64_t>(data[0] >> 4) << 8;
  const uint64_t inputLimit = (data[0] & 1) ? 64 : UINT64_MAX;
  const Buffer buffer = Buffer::copyOf(data + 1, size - 1);
  const uint64_t n = buffer.size();

  static Inflater reused;  // carries state from input to input, as in a pass
  const auto fresh = strellbox::Inflate(buffer, start);
  const auto limited = reused.inflate(buffer, start, {limit, inputLimit});
  const Inflater::Attempt& attempt = reused.lastAttempt();

  if (fresh) {
    // The output buffer grows past the cap by at most one step.
    const uint64_t step = (n - start) / 2;
    Check(fresh->size() < strellbox::InflateCap(n) + (step > 32768 ? step : 32768));
    // zlib's own decoder reads the same stream to the same bytes.
    std::vector<uint8_t> out(fresh->size() + 1);
    uLongf outLength = out.size();
    uLong inLength = n - start;
    Check(uncompress2(out.data(), &outLength, data + 1 + start, &inLength) == Z_OK);
    Check(outLength == fresh->size());
    Check(std::equal(out.begin(), out.begin() + outLength, fresh->data()));
  }
  // Within the limits the reused state answers as a fresh one.
  if (attempt.outcome != Inflater::Outcome::kOverWorkLimit) {
    Check(limited.has_value() == fresh.has_value());
    if (fresh) Check(limited->view() == fresh->view());
  }
  Check(attempt.work() <= (limit == UINT64_MAX ? limit : 2 * limit + 2));
  Check(attempt.consumed <= inputLimit);
  return 0;
}
