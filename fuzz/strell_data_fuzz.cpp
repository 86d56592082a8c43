// Every pass of the dispatcher over arbitrary bytes; found items are only
// counted (captured through the save seam), never written.
#include <cstddef>
#include <cstdint>

#include "engine/log.h"
#include "engine/strell_controller.h"

using strellbox::Buffer;
using strellbox::StrellController;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (strellbox::SetLogSink([](std::string_view) {}), true);
  (void)quiet;
  StrellController controller;
  controller.setAllScans(true);
  uint64_t reported = 0;
  controller.setSaveObserverForTesting([&](const Buffer& buffer, uint64_t from, uint64_t length,
                                           std::string_view, std::string_view, int32_t,
                                           strellbox::ItemEnd) {
    // Every reported range must lie inside its buffer.
    if (from > buffer.size() || length > buffer.size() - from) __builtin_trap();
    reported += length;
  });
  controller.strellData(Buffer::copyOf(data, size), "fuzz.bin");
  return 0;
}
