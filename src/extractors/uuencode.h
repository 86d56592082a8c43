// uuencoded files in mail and news bodies: "begin MODE NAME", lines that
// each start with their byte count, a line of count zero, "end".
#pragma once

#include <cstdint>
#include <optional>

#include "engine/buffer.h"
#include "extractors/mime_header.h"

namespace strellbox {

// The first line at or after `from` that starts "begin ", an octal mode
// and a name; Buffer::npos when there is none.
uint64_t FindUuencodeBegin(const Buffer& b, uint64_t from);

// The file whose begin line starts at p, when every line up to its "end"
// line decodes; nothing otherwise (a damaged file is not half written).
std::optional<DecodedPart> DecodeUuencode(const Buffer& b, uint64_t p);

}  // namespace strellbox
