// uuencoded files over arbitrary bytes: every file found lies inside the
// buffer, after the one before, and decodes to no more than its lines hold.
#include <cstddef>
#include <cstdint>

#include "extractors/text.h"
#include "extractors/uuencode.h"

using strellbox::Buffer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Buffer b = Buffer::copyOf(data, size);
  for (uint64_t p = strellbox::FindUuencodeBegin(b, 0); p != Buffer::npos;) {
    uint64_t next = p + 6;
    if (const auto part = strellbox::DecodeUuencode(b, p)) {
      if (part->begin != p || part->body <= p || part->end <= part->body || part->end > size)
        __builtin_trap();
      // A line of n bytes takes at least 1 + 4n/3 characters.
      if (part->decoded.empty() || part->decoded.size() * 4 > (part->end - part->body) * 3)
        __builtin_trap();
      if (part->name.empty() || strellbox::EightBitText(part->name) != part->name) __builtin_trap();
      next = part->end;
    }
    p = strellbox::FindUuencodeBegin(b, next);
  }
  return 0;
}
