// The MP3 pass over arbitrary bytes. Every reported item must lie inside
// its buffer (covers undone from unsynchronised tags inside theirs); a file
// item must start with an ID3v2 tag or a frame sync.
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
      if (from > data.size() || length > data.size() - from || length == 0) std::abort();
      if (type == "mp3" && !data.startsWith(from, "ID3") &&
          !(data.u8(from) == 0xFF && (data.u8(from + 1) & 0xE0) == 0xE0))
        std::abort();
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellMP3, data, std::string("fuzz"));
  return 0;
}
