// The TIFF pass over arbitrary bytes: the walk of the directory chain,
// sub-directories, strips and tiles. Every reported item must lie inside
// the buffer and start with a TIFF or BigTIFF header.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/tiff_ifd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = [] {
    auto* c = new StrellController;
    c->setSaveObserverForTesting([](const Buffer& data, uint64_t from, uint64_t length,
                                    std::string_view, std::string_view, int32_t,
                                    strellbox::ItemEnd) {
      if (from > data.size() || length > data.size() - from) std::abort();
      if (!strellbox::TiffReader::at(data, from)) std::abort();
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellTIFF, data, std::string("fuzz"));
  return 0;
}
