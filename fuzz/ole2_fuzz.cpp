// The compound-file walker of the flate row (extended detection) over
// arbitrary bytes: header, DIFAT, FAT, mini FAT, directory tree, streams
// and the OfficeArt pictures in them, files reported. Every reported item
// must lie inside its buffer, and a reported compound file must start with
// its magic.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/buffer.h"
#include "engine/log.h"
#include "engine/strell_controller.h"
#include "extractors/ole2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = [] {
    strellbox::SetLogSink([](std::string_view) {});
    auto* c = new StrellController;
    c->setAllScans(false);
    c->setExtendedDetection(true);
    c->setSaveObserverForTesting([](const Buffer& data, uint64_t from, uint64_t length,
                                    std::string_view type, std::string_view, int32_t,
                                    strellbox::ItemEnd) {
      if (from > data.size() || length > data.size() - from) std::abort();
      if ((type == "doc" || type == "xls" || type == "ppt" || type == "ole") &&
          !data.startsWith(from, "\xD0\xCF\x11\xE0"))
        std::abort();
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellOLE2, data, std::string("fuzz.doc"), true);
  return 0;
}
