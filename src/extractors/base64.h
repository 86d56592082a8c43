// Base64 bodies of mail and news: the tables of legal and data characters,
// the decoder and the cleaner of encoded-word names. The extractor itself is
// StrellController::strellBase64 (base64.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// Built at compile time; InitBase64Table is kept for the start-up sequence.
inline constexpr std::array<bool, 256> gIsLegalBase64 = MakeBase64Table();
inline void InitBase64Table() {}

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

// Where the Base64 pass looks next: the keyword "base64" or, without it, a
// long run of legal bytes (more than 256 over 4 to 19 counted lines). `at`
// is the keyword, or the first byte after the run grew long enough; the run
// ending there has `runLength` bytes from `runStart` (for the keyword, only
// meaningful when the run is long).
struct Base64Candidate {
  uint64_t at = UINT64_MAX;
  uint64_t runLength = 0;
  uint64_t runStart = 0;
};

// Finds candidates in `data` before `limit`. Searches move forward through one
// buffer, so the next keyword found is kept for later searches.
class Base64Finder {
 public:
  Base64Finder(const Buffer& data, uint64_t limit) : data_(data), limit_(limit) {}
  // The first candidate at or after `from` (`at` is UINT64_MAX for none).
  Base64Candidate next(uint64_t from);

 private:
  bool legal(uint64_t i) const;
  uint64_t keyword(uint64_t from);

  const Buffer& data_;
  uint64_t limit_;
  bool keywordKnown_ = false;
  uint64_t keywordFrom_ = 0;
  uint64_t keywordAt_ = UINT64_MAX;
};

// Decodes every data character of the input, skipping all other bytes. The
// padding is read from the "=" among the last three data characters, so a
// trailing line break or boundary does not hide it.
Buffer Base64Decode(const Buffer& data);

// The name without a leading "=?iso-8859-1?" or "=?ISO-8859-1?"; other
// names unchanged, nothing stays nothing.
std::optional<std::string> ISOClean(std::optional<std::string> text);

}  // namespace strellbox
