// Header blocks over arbitrary bytes: where a block starts and ends, its
// fields and the names they give, with the bounds the attachment pass
// relies on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "extractors/mime_header.h"
#include "extractors/text.h"

using strellbox::Buffer;

namespace {

// Names are UTF-8 and no longer than the cap.
void CheckName(const std::string& name) {
  if (name.size() > strellbox::kMaxHeaderName) __builtin_trap();
  if (strellbox::EightBitText(name) != name) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Buffer b = Buffer::copyOf(data, size);
  // The first byte picks where the block is looked for and how far back
  // the walk may go.
  const uint64_t at = size ? data[0] * size / 256 : 0;
  const uint64_t floor = size > 1 ? data[1] * at / 256 : 0;
  const uint64_t start = strellbox::HeaderBlockStart(b, at, floor);
  if (start < floor || start > std::max(at, floor)) __builtin_trap();
  if (start > floor && start > 0 && b.u8(start - 1) != '\n') __builtin_trap();
  uint64_t next = 0;
  if (strellbox::BlankLineAt(b, start, &next) && (next < start || next > size)) __builtin_trap();

  for (const auto& field : strellbox::ParseHeaderFields(b.view())) {
    if (field.name.empty() || field.name.find(':') != std::string::npos) __builtin_trap();
    for (const char c : field.name)
      if (c >= 'A' && c <= 'Z') __builtin_trap();  // names are lower case
  }
  const strellbox::PartHeader header = strellbox::ReadPartHeader(b.view());
  for (const std::string* name :
       {&header.filename, &header.name, &header.description, &header.location})
    CheckName(*name);
  return 0;
}
