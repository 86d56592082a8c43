// LZMA decoding of compressed Flash movies against liblzma's own one-shot
// decoder, and the SWF pass (extended detection) over the same bytes. The
// first input byte picks the size the data must decode to and whether a
// work limit applies; the rest is the movie data: 5 property bytes, then
// the coded bytes.
#include <lzma.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/lzma.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using strellbox::Buffer;
  if (size < 1) return 0;
  const uint64_t wanted = static_cast<uint64_t>(data[0] & 0x7F) << 6;
  const bool limited = data[0] & 0x80;
  const Buffer buffer = Buffer::copyOf(data + 1, size - 1);

  strellbox::InflateLimits limits;
  if (limited) limits.work = 40000;
  strellbox::Inflater::Attempt attempt;
  const auto decoded = strellbox::DecodeLzma(buffer, 0, wanted, limits, attempt);
  Check(attempt.produced <= wanted);
  if (decoded) {
    Check(decoded->size() == wanted);
    // liblzma's own decoder of the .lzma form reads the same bytes.
    std::vector<uint8_t> alone(buffer.data(), buffer.data() + 5);
    for (int i = 0; i < 8; ++i) alone.push_back(static_cast<uint8_t>(wanted >> (8 * i)));
    alone.insert(alone.end(), buffer.data() + 5, buffer.data() + buffer.size());
    std::vector<uint8_t> out(wanted + 1);
    uint64_t memlimit = strellbox::kLzmaMemoryLimit;
    size_t outPos = 0;
    lzma_stream z = LZMA_STREAM_INIT;
    Check(lzma_alone_decoder(&z, memlimit) == LZMA_OK);
    z.next_in = alone.data();
    z.avail_in = alone.size();
    z.next_out = out.data();
    z.avail_out = out.size();
    const lzma_ret ret = lzma_code(&z, LZMA_FINISH);
    outPos = z.total_out;
    lzma_end(&z);
    Check(ret == LZMA_STREAM_END && outPos == wanted);
    Check(std::equal(out.begin(), out.begin() + wanted, decoded->data()));
  }

  // The pass over a movie made of these bytes.
  static strellbox::StrellController* controller = [] {
    auto* c = new strellbox::StrellController;
    c->setAllScans(false);
    c->setExtendedDetection(true);
    c->setSaveObserverForTesting([](const Buffer& d, uint64_t from, uint64_t length,
                                    std::string_view, std::string_view, int32_t,
                                    strellbox::ItemEnd) {
      if (from > d.size() || length > d.size() - from) std::abort();
    });
    return c;
  }();
  std::vector<uint8_t> movie = {'Z', 'W', 'S', 10};
  const uint32_t length = static_cast<uint32_t>(wanted + 8);
  for (int i = 0; i < 4; ++i) movie.push_back(static_cast<uint8_t>(length >> (8 * i)));
  for (int i = 0; i < 4; ++i) movie.push_back(static_cast<uint8_t>(buffer.size() >> (8 * i)));
  movie.insert(movie.end(), buffer.data(), buffer.data() + buffer.size());
  movie.resize(std::max<size_t>(movie.size(), 128), 0);
  strellbox::RunPass(*controller, strellbox::strellSWF, Buffer(std::move(movie)),
                     std::string("fuzz.swf"));
  return 0;
}
