// yEnc files in news and mail bodies: "=ybegin ... name=NAME", for a
// multi-part file "=ypart begin=B end=E", lines of bytes shifted by 42
// (with "=" escapes), "=yend size=N ... crc32=X".
#pragma once

#include <cstdint>
#include <optional>

#include "engine/buffer.h"
#include "extractors/mime_header.h"

namespace strellbox {

// The first line at or after `from` that starts "=ybegin "; Buffer::npos
// when there is none.
uint64_t FindYencBegin(const Buffer& b, uint64_t from);

// The file whose "=ybegin" line starts at p: a single-part file, or the
// first part of a multi-part one whose other parts follow in order in the
// same buffer (joined). Sizes and CRCs must agree; nothing otherwise.
// `end` is past the first part's "=yend" line, so that what stands between
// the parts is still searched.
std::optional<DecodedPart> DecodeYenc(const Buffer& b, uint64_t p);

}  // namespace strellbox
