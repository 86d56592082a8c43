// The Base64 pass alone over arbitrary bytes, with the classic rules and
// with extended detection: the run finder, the keyword search, header
// blocks and their names, the clean decoder, uuencode and yEnc, and the
// decoded attachments scanned again. Found items are captured through the
// save seam, never written.
#include <cstddef>
#include <cstdint>

#include "engine/log.h"
#include "engine/strell_controller.h"

using strellbox::Buffer;
using strellbox::StrellController;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (strellbox::SetLogSink([](std::string_view) {}), true);
  (void)quiet;
  for (const bool extended : {false, true}) {
    StrellController controller;
    controller.setAllScans(false);
    controller.setScanFor(strellbox::PassId::kBase64, true);
    controller.setExtendedDetection(extended);
    int32_t items = 0;
    uint64_t decoded = 0;
    controller.setSaveObserverForTesting([&](const Buffer& buffer, uint64_t from, uint64_t length,
                                             std::string_view, std::string_view, int32_t foundNo,
                                             strellbox::ItemEnd) {
      if (from > buffer.size() || length > buffer.size() - from || foundNo < 0) __builtin_trap();
      // Attachments come from the input, not from bytes decoded out of it
      // (those are scanned again and report what they hold).
      if (buffer.origin().chain.size() == 1) decoded += length;
      ++items;
    });
    const int32_t count = strellbox::RunPass(controller, strellbox::strellBase64,
                                             Buffer::copyOf(data, size), std::string("fuzz.eml"));
    // Every item counted was reported. Classic blocks do not overlap and
    // decode to at most three bytes per four input bytes. With extended
    // detection a yEnc file decodes to at most its own size, and the later
    // parts of a multi-part one (joined to the first) are searched again,
    // so a byte serves at most two files.
    if (count != items) __builtin_trap();
    if (decoded > (extended ? 2 * size : size / 4 * 3)) __builtin_trap();
  }
  return 0;
}
