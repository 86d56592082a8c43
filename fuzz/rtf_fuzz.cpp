// The RTF picture and object reader of the flate row (extended detection)
// over arbitrary bytes, objects scanned again. Every reported item must lie
// inside its buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "container_controller.h"
#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/rtf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = strellbox::ContainerFuzzController();
  const Buffer data = Buffer::copyOf(bytes, size);
  strellbox::RunPass(*controller, strellbox::strellRTF, data, std::string("fuzz.rtf"));
  return 0;
}
