// The ISO media pass over arbitrary bytes. Every reported item must lie
// inside the buffer and be a run of whole boxes: its first box's size, read
// as the walk reads it, must fit inside the item.
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
                                    std::string_view type, std::string_view, int32_t,
                                    strellbox::ItemEnd) {
      if (from > data.size() || length > data.size() - from || length < 16) std::abort();
      if (type.empty()) std::abort();
      uint64_t first = data.be32(from);
      if (first == 1) first = (uint64_t{data.be32(from + 8)} << 32) | data.be32(from + 12);
      if (first != 0 && first > length) std::abort();
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellIsoMedia, data, std::string("fuzz"));
  return 0;
}
