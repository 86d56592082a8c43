// The Base64 pass alone over arbitrary bytes: the run finder, the keyword
// search, the header-field names and the decoder behind them. Found items
// are captured through the save seam, never written.
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
  controller.setAllScans(false);
  controller.setScanFor(strellbox::PassId::kBase64, true);
  int32_t items = 0;
  uint64_t decoded = 0;
  controller.setSaveObserverForTesting([&](const Buffer& buffer, uint64_t from, uint64_t length,
                                           std::string_view, std::string_view, int32_t foundNo) {
    if (from > buffer.size() || length > buffer.size() - from || foundNo < 0) __builtin_trap();
    decoded += length;
    ++items;
  });
  const int32_t count = strellbox::RunPass(controller, strellbox::strellBase64,
                                           Buffer::copyOf(data, size), std::string("fuzz.eml"));
  // Every block counted was reported, and blocks do not overlap: together
  // they decode to at most three bytes per four input bytes.
  if (count != items) __builtin_trap();
  if (decoded > size / 4 * 3) __builtin_trap();
  return 0;
}
