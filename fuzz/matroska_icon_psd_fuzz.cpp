// The Matroska, icon and PSD passes over arbitrary bytes. Every reported
// item must lie inside its buffer, and every file item (named after the
// source, unlike an attachment) must start with its format's signature. The
// PSD composite the window shows must have the pixels it claims.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/buffer.h"
#include "engine/strell_controller.h"
#include "extractors/psd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using strellbox::Buffer;
  using strellbox::StrellController;
  static StrellController* controller = [] {
    auto* c = new StrellController;
    c->setSaveObserverForTesting([](const Buffer& data, uint64_t from, uint64_t length,
                                    std::string_view type, std::string_view original, int32_t,
                                    strellbox::ItemEnd) {
      if (from > data.size() || length == 0 || length > data.size() - from) std::abort();
      if (original != "fuzz") return;
      const bool matroska = type == "mkv" || type == "mka" || type == "webm";
      if (matroska && !data.startsWith(from, "\x1A\x45\xDF\xA3")) std::abort();
      if ((type == "ico" || type == "cur") &&
          !(data.le16(from) == 0 && (data.le16(from + 2) == 1 || data.le16(from + 2) == 2)))
        std::abort();
      if ((type == "psd" || type == "psb") && !data.startsWith(from, "8BPS")) std::abort();
    });
    return c;
  }();
  const Buffer data = Buffer::copyOf(bytes, size);
  for (const auto pass : {strellbox::strellMatroska, strellbox::strellIcon, strellbox::strellPSD})
    strellbox::RunPass(*controller, pass, data, std::string("fuzz"));
  if (const auto image = strellbox::PsdCompositeOf(data, uint64_t{1} << 20))
    if (image->width == 0 || image->height == 0 ||
        image->rgb.size() != uint64_t{3} * image->width * image->height)
      std::abort();
  return 0;
}
