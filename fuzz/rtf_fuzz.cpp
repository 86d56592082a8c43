// The RTF picture and object reader of the flate row (extended detection)
// over arbitrary bytes, objects scanned again. Every reported item must lie
// inside its buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/buffer.h"
#include "engine/log.h"
#include "engine/strell_controller.h"
#include "extractors/rtf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = [] {
    strellbox::SetLogSink([](std::string_view) {});
    auto* c = new StrellController;
    c->setAllScans(false);
    c->setExtendedDetection(true);
    c->setSaveObserverForTesting([](const Buffer& data, uint64_t from, uint64_t length,
                                    std::string_view, std::string_view, int32_t,
                                    strellbox::ItemEnd) {
      if (from > data.size() || length > data.size() - from) std::abort();
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellRTF, data, std::string("fuzz.rtf"));
  return 0;
}
