// Every pass of the dispatcher over arbitrary bytes, under the classic rules
// and under the extended ones, so that nesting across every decoder is
// fuzzed; found items are only counted (captured through the save seam),
// never written.
#include <cstddef>
#include <cstdint>

#include "engine/log.h"
#include "engine/strell_controller.h"

using strellbox::Buffer;
using strellbox::StrellController;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (strellbox::SetLogSink([](std::string_view) {}), true);
  (void)quiet;
  const Buffer input = Buffer::copyOf(data, size);
  for (const bool extended : {false, true}) {
    StrellController controller;
    controller.setAllScans(true);
    controller.setExtendedDetection(extended);
    controller.setSaveObserverForTesting([&](const Buffer& buffer, uint64_t from, uint64_t length,
                                             std::string_view, std::string_view, int32_t,
                                             strellbox::ItemEnd) {
      // Every reported range must lie inside its buffer.
      if (from > buffer.size() || length > buffer.size() - from) __builtin_trap();
    });
    controller.strellData(input, "fuzz.bin");
  }
  return 0;
}
