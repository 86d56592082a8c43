// The archive and compressor reader of the flate row (extended detection)
// over arbitrary bytes, archives reported, every nested scan of the members
// included. Every reported item must lie inside its buffer, and a reported
// tar, 7z or cab must start with its own magic.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "container_controller.h"
#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/archives.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = strellbox::ContainerFuzzController(
      [](const Buffer& data, uint64_t from, uint64_t, std::string_view type) {
        if (type == "7z" && !data.startsWith(from, "7z\xBC\xAF")) std::abort();
        if (type == "cab" && !data.startsWith(from, "MSCF")) std::abort();
        if (type == "tar" && !data.startsWith(from + 257, "ustar")) std::abort();
      });
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellArchives, data, std::string("fuzz.bin"), true);
  return 0;
}
