// Classifiers shared by the dispatcher and the extractors: the type guess
// from a buffer's first bytes, the well-known extensions of browser caches,
// and the plain-text test.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "engine/buffer.h"

namespace strellbox {

// Legal text bytes: tab, line feed, carriage return and 0x20..0x7F.
constexpr bool IsLegalASCIIFunction(uint8_t c) {
  return c == 0x09 || c == 0x0A || c == 0x0D || (c >= 0x20 && c <= 0x7F);
}

constexpr std::array<bool, 256> MakeASCIICheckTable() {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = IsLegalASCIIFunction(static_cast<uint8_t>(c));
  return table;
}

// Built at compile time, so no start-up step has to fill it.
inline constexpr std::array<bool, 256> gIsLegalASCII = MakeASCIICheckTable();

// True when the first min(length, 4000) bytes are all legal text bytes.
bool IsDataLegalASCII(const Buffer& data);

// The extension the buffer's first bytes suggest ("pdf", "png", ...), or "".
std::string GuessExtension(const Buffer& data);

// True for the extensions browsers cache web content under (case-insensitive).
bool IsWellKnownExtension(std::optional<std::string_view> extension);

// True when the bytes are well-formed UTF-8 (file names are bytes, and the
// rows and the report must say when one is not text).
bool IsUtf8(std::string_view s);
// The code point of the UTF-8 sequence at s[i] (i < s.size()) and its
// length, or a length of 0 when the bytes there are not UTF-8.
std::pair<uint32_t, size_t> Utf8At(std::string_view s, size_t i);

}  // namespace strellbox
