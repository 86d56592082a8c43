// Decoding of the streams the reader itself must read (cross-reference
// streams, object streams, content streams), and the bytes of string
// tokens. Image data is never decoded: it is copied as it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/buffer.h"
#include "pdf/pdf_object.h"

namespace strellbox {

// The target of a reference (when resolved), else the object itself.
PDFObjectPtr PDFResolve(const PDFObjectPtr& object);

// Inflates a zlib stream, at most `maxOutput` bytes. What a damaged or cut
// stream yields before the damage is kept, as readers do; nothing when not
// even that.
std::optional<Buffer> PDFInflate(const Buffer& data, uint64_t maxOutput);

// Undoes a PNG (10 to 15) or TIFF (2) predictor in place. False when the
// parameters are out of range; rows cut short at the end are dropped.
bool PDFUnpredict(std::string& data, int32_t predictor, int32_t colors, int32_t bitsPerComponent,
                  int32_t columns);

// Decodes `data` (the stream's data, decrypted) through the stream's
// /Filter chain with its /DecodeParms: FlateDecode, ASCIIHexDecode,
// ASCII85Decode, with their abbreviations. `budget` is what decoding may
// still write, shared by every stream of a document, and is charged with
// what this call wrote. Nothing for a filter it does not know, for output
// past the budget, or for data that does not decode.
std::optional<Buffer> PDFDecodeStream(const PDFDictionary& stream, const Buffer& data,
                                      uint64_t& budget);

// The bytes a string token stands for: "(...)" with its escapes and line
// ends, or "<...>" in hexadecimal (white space ignored, an odd last digit
// followed by 0).
std::string PDFStringBytes(std::string_view token);
// A hexadecimal string token for the bytes.
std::string PDFHexString(std::string_view bytes);

}  // namespace strellbox
