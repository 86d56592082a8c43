// Runs the JPEG, GIF, PNG, BMP and WAV passes over arbitrary bytes, under
// the classic rules and with extended detection. Beyond the sanitizers'
// checks, every reported item must lie inside the buffer it was reported
// from.
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
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  const std::string from = "fuzz";
  for (const bool extended : {false, true}) {
    controller->setExtendedDetection(extended);
    for (auto pass : {strellbox::strellJPEG, strellbox::strellGIF, strellbox::strellPNG,
                      strellbox::strellBMP, strellbox::strellWAV})
      strellbox::RunPass(*controller, pass, data, from);
  }
  return 0;
}
