// Base64 bodies of mail and news: the tables of legal and data characters,
// the decoder and the cleaner of encoded-word names. The pass itself is
// strellBase64 (base64.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/buffer.h"

namespace strellbox {

// Bytes that may stand inside a Base64 body of a mail message: the alphabet,
// "=", line breaks, spaces and the ">" of quoted lines.
constexpr bool IsLegalBase64Function(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '=' || c == '\n' || c == '\r' || c == ' ' || c == '>';
}

constexpr std::array<bool, 256> MakeBase64Table() {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = IsLegalBase64Function(static_cast<uint8_t>(c));
  return table;
}

// Built at compile time, so no start-up step has to fill it.
inline constexpr std::array<bool, 256> gIsLegalBase64 = MakeBase64Table();

// The bytes that carry data when decoding (the alphabet and "=").
constexpr bool IsBase64(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/' || c == '=';
}

// The six-bit value of a data character; "=" (and anything else) is 0.
constexpr uint8_t Base64Lookup(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

// The first i in [from, end) whose byte is not legal (or, with
// stopAtLineBreaks, is a line break), or `end`.
uint64_t LegalBase64End(std::string_view b, uint64_t from, uint64_t end, bool stopAtLineBreaks);

// A forward search whose last answer is kept. The extractor searches from
// ever later offsets, so an occurrence found once answers every later search
// that starts at or before it, and a miss answers every later search: each
// kind of search then reads every byte at most once per buffer, however many
// keywords stand in it.
template <class Find>
class RememberedSearch {
 public:
  explicit RememberedSearch(Find find) : find_(std::move(find)) {}
  uint64_t next(uint64_t from) {
    if (!(known_ && from >= from_ && (hit_ == Buffer::npos || hit_ >= from))) {
      from_ = from;
      hit_ = find_(from);
      known_ = true;
    }
    return hit_;
  }

 private:
  Find find_;
  bool known_ = false;
  uint64_t from_ = 0;
  uint64_t hit_ = Buffer::npos;
};

// Where the Base64 pass looks next: the keyword "base64" (in any case) or, without it, a
// long run of legal bytes (more than 256 over 4 to 19 counted lines). `at`
// is the keyword, or the first byte after the run grew long enough; the run
// ending there has `runLength` bytes from `runStart` (for the keyword, only
// meaningful when the run is long).
struct Base64Candidate {
  uint64_t at = Buffer::npos;
  uint64_t runLength = 0;
  uint64_t runStart = 0;
};

// Finds candidates in `data` before `limit`. Searches move forward through one
// buffer, so the next keyword found is kept for later searches.
class Base64Finder {
 public:
  Base64Finder(const Buffer& data, uint64_t limit)
      : data_(data), limit_(limit), keyword_(KeywordSearch{&data, limit}) {}
  // The first candidate at or after `from` (`at` is Buffer::npos for none).
  Base64Candidate next(uint64_t from);

 private:
  bool legal(uint64_t i) const;
  // The next "base64", in any case, starting before the limit.
  struct KeywordSearch {
    const Buffer* data;
    uint64_t limit;
    uint64_t operator()(uint64_t from) const;
  };

  const Buffer& data_;
  uint64_t limit_;
  RememberedSearch<KeywordSearch> keyword_;
};

// Decodes every data character of the input, skipping all other bytes. The
// padding is read from the "=" among the last three data characters, so a
// trailing line break or boundary does not hide it.
Buffer Base64Decode(const Buffer& data);
// The bytes in Base64, padded, on one line.
std::string Base64Encode(std::string_view bytes);

// The Base64 data of a mail body in [from, end) (`end` just past the byte
// that ended the body's run of legal bytes), decoded, when it is clean:
// lines of one width of the alphabet, quote marks and indentation aside,
// the last one shorter or padded, "=" only at the end, whole groups, and
// nothing but blank lines or the block's cut last line after it. With
// skipLeadingText, lines of text before the data are passed over (a run
// found without a header starts wherever its legal bytes do). Nothing
// when the body is not clean: quoted-printable, text, damaged data.
std::optional<Buffer> DecodeCleanBase64(const Buffer& b, uint64_t from, uint64_t end,
                                        bool skipLeadingText);

// The name without a leading "=?iso-8859-1?" or "=?ISO-8859-1?"; other
// names unchanged, nothing stays nothing.
std::optional<std::string> ISOClean(std::optional<std::string> text);

}  // namespace strellbox
