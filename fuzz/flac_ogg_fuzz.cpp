// The FLAC and Ogg passes over arbitrary bytes. Every reported item must lie
// inside its buffer; a file item must start with its signature. The cover
// the window shows for a sound file (ID3, FLAC or Ogg tags) is never empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/cover_art.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = [] {
    auto* c = new StrellController;
    c->setSaveObserverForTesting([](const Buffer& data, uint64_t from, uint64_t length,
                                    std::string_view type, std::string_view, int32_t,
                                    strellbox::ItemEnd) {
      if (from > data.size() || length > data.size() - from || length == 0) std::abort();
      if (type == "flac" && !data.startsWith(from, "fLaC")) std::abort();
      if (type == "ogg" && !data.startsWith(from, "OggS")) std::abort();
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellFLAC, data, std::string("fuzz"));
  strellbox::RunPass(*controller, strellbox::strellOgg, data, std::string("fuzz"));
  if (const std::optional<Buffer> cover = strellbox::TaggedCoverOf(data))
    if (cover->size() == 0) std::abort();
  return 0;
}
