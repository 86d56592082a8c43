// The header block of one message part, as mail programs write it: where it
// starts and ends in a buffer, its fields, and the names it gives the part's
// body (parameters continued and charset-tagged, encoded words), turned into
// UTF-8. Quoted lines (a forward's "> " prefixes) read like plain ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer.h"

namespace strellbox {

// Longest name kept from a header, in bytes of UTF-8; the store cuts names
// further to fit a file name.
inline constexpr size_t kMaxHeaderName = 255;

// The offset after the quote marks at the start of a line: each ">" with at
// most one space after it. `end` bounds the line.
uint64_t QuotePrefixEnd(const Buffer& b, uint64_t p, uint64_t end);

// Whether the line starting at p holds nothing but quote marks, spaces, tabs
// and a CR: the empty line between a header block and its body, plain or
// quoted. When it does and ends in LF, *next is the offset after that LF
// (or the buffer's end when the line runs to it).
bool BlankLineAt(const Buffer& b, uint64_t p, uint64_t* next);

// Whether the line starting at p is a boundary line ("--" after any quote
// marks).
bool BoundaryLineAt(const Buffer& b, uint64_t p);

// The first byte of the header block that holds offset `at`: the start of
// the line after the nearest blank or boundary line before at's line. The
// walk back never goes before `floor` (the end of the part looked at last),
// and a line cut by the floor is not part of the block.
uint64_t HeaderBlockStart(const Buffer& b, uint64_t at, uint64_t floor);

// One header field: its name in lower case and its value unfolded (the line
// breaks of continuation lines taken out), bytes as they stand.
struct HeaderField {
  std::string name;
  std::string value;
};
// The fields of a header block. Lines that are no field (an mbox "From "
// line, a boundary) are passed over; caps keep hostile blocks bounded.
std::vector<HeaderField> ParseHeaderFields(std::string_view block);

// What a part's header says about its body, names decoded into UTF-8
// (empty when the header does not say).
struct PartHeader {
  std::string transferEncoding;  // lower case, e.g. "base64", "quoted-printable"
  std::string filename;          // Content-Disposition's filename
  std::string name;              // Content-Type's name
  std::string description;       // Content-Description
  std::string location;          // Content-Location
};
PartHeader ReadPartHeader(std::string_view block);

// The parameter of a structured field value ("attachment; filename=a.pdf"),
// in UTF-8: its extended form (charset'language'percent-encoded, and
// continued over numbered sections) before its plain form, whose encoded
// words are decoded too. Nothing when the value has no such parameter.
std::optional<std::string> ParameterValue(std::string_view value, std::string_view parameter);

// Text with its encoded words ("=?charset?B?...?=" and "=?charset?Q?...?=")
// decoded into UTF-8; white space between two encoded words goes. Bytes
// outside encoded words are read as UTF-8, or as Latin-1 when they are not.
std::string DecodeEncodedWords(std::string_view text);

// Bytes in a named charset as UTF-8; nothing when the charset is unknown.
std::optional<std::string> ToUtf8(std::string_view bytes, std::string_view charset);

// One attachment decoded from the text of a mail or news body (uuencode,
// yEnc): where its lines stand and the name its header line gives it.
struct DecodedPart {
  uint64_t begin = 0;  // its header line ("begin ...", "=ybegin ...")
  uint64_t body = 0;   // its first encoded line
  uint64_t end = 0;    // past its closing line
  std::string name;    // UTF-8
  Buffer decoded;
};

}  // namespace strellbox
