// The gzip member reader of the flate row (extended detection) over
// arbitrary bytes, saving on, every nested scan of what it inflates
// included. Every reported item must lie inside its buffer, and a saved
// member must be a buffer of its own, decoded from the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/buffer.h"
#include "engine/log.h"
#include "engine/strell_controller.h"
#include "extractors/zip_deflate.h"

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
      if (data.origin().chain.empty() || data.origin().chain.back().decoder != "gzip") std::abort();
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellGzip, data, std::string("fuzz.gz"), true);
  return 0;
}
