// The gzip member reader of the flate row (extended detection) over
// arbitrary bytes, saving on, every nested scan of what it inflates
// included. Every reported item must lie inside its buffer, and a saved
// member must be a buffer of its own, decoded from the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "container_controller.h"
#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/zip_deflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = strellbox::ContainerFuzzController(
      [](const Buffer& data, uint64_t, uint64_t, std::string_view) {
        if (data.origin().chain.empty() || data.origin().chain.back().decoder != "gzip")
          std::abort();
      });
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellGzip, data, std::string("fuzz.gz"), true);
  return 0;
}
