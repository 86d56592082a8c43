// yEnc files over arbitrary bytes: every file found lies inside the buffer,
// its size and CRC agree with its closing line, and it decodes to no more
// bytes than the buffer holds after its header.
#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "extractors/text.h"
#include "extractors/yenc.h"

using strellbox::Buffer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Buffer b = Buffer::copyOf(data, size);
  for (uint64_t p = strellbox::FindYencBegin(b, 0); p != Buffer::npos;) {
    uint64_t next = p + 8;
    if (const auto part = strellbox::DecodeYenc(b, p)) {
      if (part->begin != p || part->body <= p || part->end <= part->body || part->end > size)
        __builtin_trap();
      if (part->decoded.size() > size - part->body) __builtin_trap();
      if (part->name.empty() || strellbox::EightBitText(part->name) != part->name) __builtin_trap();
      next = part->end;
    }
    p = strellbox::FindYencBegin(b, next);
  }
  return 0;
}
