// The mail and text decoders over arbitrary bytes, with the bounds their
// callers rely on.
#include <cstddef>
#include <cstdint>

#include "extractors/base64.h"
#include "extractors/text.h"

using strellbox::Buffer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Buffer in = Buffer::copyOf(data, size);

  // Four data characters give at most three bytes.
  if (strellbox::Base64Decode(in).size() > size / 4 * 3) __builtin_trap();

  int64_t removed = -1;
  const Buffer words = strellbox::ASCIILegalize2(in, &removed);
  if (removed < 0 || static_cast<uint64_t>(removed) > size) __builtin_trap();
  if (words.size() > size + size / 64 + 2) __builtin_trap();

  const Buffer eight = strellbox::ASCII8BitLegalize(in, &removed);
  if (eight.size() + static_cast<uint64_t>(removed) < size) __builtin_trap();

  (void)strellbox::EightBitText(in.view(0, 200));
  return 0;
}
