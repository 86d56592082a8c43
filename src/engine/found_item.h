// One found embedded file on its way to the output folder, with where it
// was found: the buffer its bytes lay in (the origin of `data`), its offset
// there and the pass that reported it.
#pragma once

#include <cstdint>
#include <string>

#include "engine/buffer.h"
#include "engine/digest.h"
#include "engine/pass_table.h"

namespace strellbox {

struct FoundItem {
  std::string name;  // file name without extension
  std::string type;  // extension without dot; may be empty
  Buffer data;       // the item's bytes (their origin: the buffer found in); released once written
  std::string source;   // the source name the extractor was given
  uint64_t offset = 0;  // the item's first byte in the buffer it was found in
  PassId pass = PassId::kFlate;
  ItemDigest digest{};  // SHA-256 of the bytes
};

}  // namespace strellbox
