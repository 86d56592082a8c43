// The zip member reader of the flate row (extended detection) over
// arbitrary bytes, archives reported, every nested scan of the members
// included. Every reported item must lie inside its buffer; an archive is
// reported from the input itself and starts with a local header.
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
      [](const Buffer& data, uint64_t from, uint64_t, std::string_view type) {
        if (type == "zip" && !data.startsWith(from, "PK\x03\x04")) std::abort();
      });
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellZipMembers, data, std::string("fuzz.zip"), true);
  return 0;
}
