// One found embedded file on its way to the output folder, with where it
// was found: the buffer its bytes lay in (the origin of `data`), its offset
// there, the pass that reported it and how its end was known.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/buffer.h"
#include "engine/digest.h"
#include "engine/pass_table.h"

namespace strellbox {

// How a pass knew where an item ends.
enum class ItemEnd : uint8_t {
  kLength,   // a length field of the format
  kWalk,     // its structure walked to its end
  kMarker,   // an end marker found
  kBuffer,   // it runs to the end of its buffer, not known to end there
  kDecoded,  // a decoder's whole output
};
// "length", "walk", "marker", "buffer", "decoded": the name in the CLI's
// rows and in the report.
std::string_view ItemEndName(ItemEnd end);

// Why an item was left out by the job's noise filters.
enum class ItemFilter : uint8_t {
  kMinSize,    // fewer bytes than the least size asked for
  kMaxSize,    // more bytes than the greatest size asked for
  kMinPixels,  // a picture narrower or lower than asked for
};
// "min-size", "max-size", "min-pixels": the name in the rows and the report.
std::string_view ItemFilterName(ItemFilter filter);

struct FoundItem {
  std::string name;  // file name without extension
  std::string type;  // extension without dot; may be empty
  Buffer data;       // the item's bytes (their origin: the buffer found in); released once written
  std::string source;   // the source name the extractor was given
  uint64_t offset = 0;  // the item's first byte in the buffer it was found in
  uint64_t size = 0;    // its length in bytes (also once the bytes are gone)
  PassId pass = PassId::kFlate;
  ItemEnd end = ItemEnd::kLength;
  ItemDigest digest{};  // SHA-256 of the bytes

  // What the store made of it.
  // The same bytes as an item written before in this job: not written
  // again, and holding no bytes (only their origin).
  bool repeat = false;
  // Left out by a noise filter (kept only to be listed).
  std::optional<ItemFilter> filtered;
  // MD5 of the bytes, when the job reports it.
  std::optional<Md5> md5;
};

}  // namespace strellbox
