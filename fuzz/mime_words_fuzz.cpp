// Parameter values (plain, charset-tagged, continued) and encoded words
// over arbitrary bytes: what comes out is UTF-8, names within their cap.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "extractors/mime_header.h"
#include "extractors/text.h"

namespace {

bool IsUtf8(const std::string& s) { return strellbox::EightBitText(s) == s; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const std::string_view parameter : {"filename", "name"}) {
    if (const auto value = strellbox::ParameterValue(text, parameter)) {
      if (value->size() > strellbox::kMaxHeaderName || !IsUtf8(*value)) __builtin_trap();
    }
  }
  const std::string words = strellbox::DecodeEncodedWords(text);
  if (!IsUtf8(words)) __builtin_trap();
  // Linear in the input: a Latin-1 byte takes two bytes, a converted
  // charset at most four per byte (more is refused and read as Latin-1).
  if (words.size() > 4 * size + 16) __builtin_trap();
  // The charset named by the first bytes, over the rest.
  const size_t cut = size ? data[0] % 24 : 0;
  if (cut + 1 < size) {
    const auto converted = strellbox::ToUtf8(text.substr(cut + 1), text.substr(1, cut));
    if (converted && !IsUtf8(*converted)) __builtin_trap();
  }
  return 0;
}
