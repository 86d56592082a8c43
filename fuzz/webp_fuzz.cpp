// The WebP pass over arbitrary bytes. Every reported item must lie inside
// the buffer, start with a RIFF WEBP header and be as long as its RIFF size
// says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/buffer.h"
#include "engine/strell_controller.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = [] {
    auto* c = new StrellController;
    c->setSaveObserverForTesting([](const Buffer& data, uint64_t from, uint64_t length,
                                    std::string_view, std::string_view, int32_t,
                                    strellbox::ItemEnd) {
      if (from > data.size() || length > data.size() - from) std::abort();
      if (!data.startsWith(from, "RIFF") || !data.startsWith(from + 8, "WEBP")) std::abort();
      if (uint64_t{data.le32(from + 4)} + 8 != length) std::abort();
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellWebP, data, std::string("fuzz"));
  return 0;
}
