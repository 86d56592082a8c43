// uuencode: each line is a count character (0x20 + bytes on the line, the
// grave accent standing for zero) and four characters per three bytes,
// each 0x20 + six bits.
#include "extractors/uuencode.h"

#include <string_view>
#include <vector>

#include "engine/decoder_table.h"
#include "engine/paths.h"
#include "extractors/text.h"

namespace strellbox {

namespace {

// A line may carry this many characters past its last group (some
// encoders add a check character); more is not uuencode.
constexpr uint64_t kMaxExtraCharacters = 2;

bool IsUuCharacter(uint8_t c) { return c >= 0x20 && c <= 0x60; }
uint8_t UuValue(uint8_t c) { return static_cast<uint8_t>((c - 0x20) & 0x3F); }

// The line [start, *end) without its CR; *next is past its LF (or the
// buffer's end, with *complete false, when no LF ends it).
std::string_view LineAt(const Buffer& b, uint64_t start, uint64_t* next) {
  uint64_t e = b.find('\n', start);
  if (e == Buffer::npos) {
    e = b.size();
    *next = e;
  } else {
    *next = e + 1;
  }
  std::string_view line = b.view(start, e - start);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Where the name of a begin line starts ("begin" SP octal mode SP), or 0.
uint64_t NameStart(const Buffer& b, uint64_t p) {
  if (!b.startsWith(p, "begin ")) return 0;
  uint64_t q = p + 6;
  const uint64_t digits = q;
  while (q < b.size() && q - digits < 5 && b.u8(q) >= '0' && b.u8(q) <= '7') ++q;
  if (q == digits || q - digits > 4 || b.u8(q) != ' ') return 0;
  ++q;
  const uint8_t c = b.u8(q);
  if (q >= b.size() || c == '\n' || c == '\r' || c == ' ' || c == '\t') return 0;
  return q;
}

}  // namespace

uint64_t FindUuencodeBegin(const Buffer& b, uint64_t from) {
  for (uint64_t q = b.find(std::string_view("begin "), from); q != Buffer::npos;
       q = b.find(std::string_view("begin "), q + 1))
    if ((q == 0 || b.u8(q - 1) == '\n') && NameStart(b, q) != 0) return q;
  return Buffer::npos;
}

std::optional<DecodedPart> DecodeUuencode(const Buffer& b, uint64_t p) {
  const uint64_t nameAt = NameStart(b, p);
  if (nameAt == 0) return std::nullopt;
  uint64_t body = 0;
  std::string_view name = LineAt(b, nameAt, &body);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  if (body >= b.size()) return std::nullopt;

  std::vector<uint8_t> out;
  bool zeroLine = false;  // the line of count zero came
  for (uint64_t line = body; line < b.size();) {
    uint64_t next = 0;
    std::string_view text = LineAt(b, line, &next);
    line = next;
    std::string_view trimmed = text;
    while (!trimmed.empty() && trimmed.back() == ' ') trimmed.remove_suffix(1);
    if (trimmed == "end") {
      if (out.empty()) return std::nullopt;
      return DecodedPart{p, body, next, FitName(EightBitText(name), kMaxHeaderName),
                         Buffer(std::move(out))};
    }
    if (text.empty() || zeroLine) return std::nullopt;
    const auto count = UuValue(static_cast<uint8_t>(text[0]));
    if (!IsUuCharacter(static_cast<uint8_t>(text[0]))) return std::nullopt;
    if (count == 0) {
      zeroLine = true;
      continue;
    }
    const uint64_t needed = (uint64_t{count} * 4 + 2) / 3;
    const uint64_t groups = (uint64_t{count} + 2) / 3;
    const uint64_t carried = text.size() - 1;
    if (carried < needed || carried > groups * 4 + kMaxExtraCharacters) return std::nullopt;
    for (size_t k = 1; k < text.size(); ++k)
      if (!IsUuCharacter(static_cast<uint8_t>(text[k]))) return std::nullopt;
    uint64_t left = count;
    for (uint64_t g = 0; g < groups; ++g) {
      uint8_t v[4] = {0, 0, 0, 0};
      for (uint64_t k = 0; k < 4; ++k) {
        const uint64_t at = 1 + g * 4 + k;
        if (at < text.size()) v[k] = UuValue(static_cast<uint8_t>(text[at]));
      }
      const uint8_t bytes[3] = {static_cast<uint8_t>((v[0] << 2) | (v[1] >> 4)),
                                static_cast<uint8_t>((v[1] << 4) | (v[2] >> 2)),
                                static_cast<uint8_t>((v[2] << 6) | v[3])};
      for (int k = 0; k < 3 && left > 0; ++k, --left) out.push_back(bytes[k]);
    }
  }
  return std::nullopt;
}

std::optional<Buffer> DecodeUuencodeAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  std::optional<DecodedPart> part = DecodeUuencode(data, offset);
  if (!part || part->decoded.size() > maxOutput) return std::nullopt;
  return std::move(part->decoded);
}

}  // namespace strellbox
