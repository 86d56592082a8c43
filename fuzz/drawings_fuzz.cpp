// The SVG, data: URI, EMF, WMF and JPEG XL passes over arbitrary bytes
// (libjxl decoding bare codestreams among them). Every reported item must
// lie inside its buffer and start as its format does; a bare codestream
// whose frames the header walk followed to the last one ends where the walk
// said, and the walk never reads past what it is given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/jxl_headers.h"

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
      if (type == "jxl" && data.startsWith(from, "\xFF\x0A")) {
        const strellbox::JxlHeaderCheck walk =
            strellbox::CheckJxlCodestreamHeaders(data.data() + from, data.size() - from, 1 << 24);
        if (!walk.holds()) std::abort();
        if (walk.end == strellbox::JxlWalkEnd::kLastFrame && walk.walkedTo != length) std::abort();
      }
    });
    return c;
  }();
  const strellbox::JxlHeaderCheck walk = strellbox::CheckJxlCodestreamHeaders(bytes, size, 1 << 24);
  if (walk.walkedTo > size || walk.bytesRead > size) std::abort();
  const Buffer data = Buffer::copyOf(bytes, size);
  for (const auto pass : {strellbox::strellSVG, strellbox::strellDataURIs, strellbox::strellEMF,
                          strellbox::strellWMF, strellbox::strellJXL})
    strellbox::RunPass(*controller, pass, data, std::string("fuzz"));
  return 0;
}
