// The SVG, data: URI, EMF, WMF and JPEG XL passes over arbitrary bytes
// (libjxl decoding bare codestreams among them). Every reported item must
// lie inside its buffer and start as its format does.
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
    c->setExtendedDetection(true);
    c->setSaveObserverForTesting([](const Buffer& data, uint64_t from, uint64_t length,
                                    std::string_view type, std::string_view, int32_t,
                                    strellbox::ItemEnd) {
      if (from > data.size() || length > data.size() - from || length == 0) std::abort();
      if (type == "svg" && data.u8(from) != '<') std::abort();
      if (type == "svg" && !data.startsWith(from + length - 1, ">")) std::abort();
      if (type == "emf" && !data.startsWith(from + 40, " EMF")) std::abort();
      if (type == "jxl" && !data.startsWith(from, "\xFF\x0A") && !data.startsWith(from + 4, "JXL "))
        std::abort();
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  for (const auto pass : {strellbox::strellSVG, strellbox::strellDataURIs, strellbox::strellEMF,
                          strellbox::strellWMF, strellbox::strellJXL})
    strellbox::RunPass(*controller, pass, data, std::string("fuzz"));
  return 0;
}
