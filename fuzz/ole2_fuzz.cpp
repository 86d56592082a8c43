// The compound-file walker of the flate row (extended detection) over
// arbitrary bytes: header, DIFAT, FAT, mini FAT, directory tree, streams
// and the OfficeArt pictures in them, files reported. Every reported item
// must lie inside its buffer, and a reported compound file must start with
// its magic.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "container_controller.h"
#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/ole2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = strellbox::ContainerFuzzController(
      [](const Buffer& data, uint64_t from, uint64_t, std::string_view type) {
        if ((type == "doc" || type == "xls" || type == "ppt" || type == "ole") &&
            !data.startsWith(from, "\xD0\xCF\x11\xE0"))
          std::abort();
      });
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellOLE2, data, std::string("fuzz.doc"), true);
  return 0;
}
