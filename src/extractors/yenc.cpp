// yEnc: every byte is written as (byte + 42) mod 256; the few that would
// break a line (NUL, LF, CR, "=") as "=" and (byte + 42 + 64) mod 256.
// Line breaks carry no data. The closing line gives the size and the CRC-32
// of the bytes, so a damaged file is known and dropped.
#include "extractors/yenc.h"

#include <zlib.h>

#include <string_view>
#include <vector>

#include "engine/decoder_table.h"
#include "engine/paths.h"
#include "extractors/text.h"

namespace strellbox {

namespace {

using namespace std::string_view_literals;

// Numbers on a header line: sizes and offsets up to 19 digits, CRCs up to
// 8 hex digits; longer ones are no numbers.
constexpr size_t kMaxDecimalDigits = 19;
constexpr size_t kMaxHexDigits = 8;

// The keywords of one "=ybegin", "=ypart" or "=yend" line.
struct Keywords {
  std::optional<uint64_t> size, part, begin, end;
  std::optional<uint32_t> crc32, pcrc32;
  std::string name;  // "name=" takes the rest of the line
};

std::optional<uint64_t> Decimal(std::string_view s) {
  if (s.empty() || s.size() > kMaxDecimalDigits) return std::nullopt;
  uint64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

std::optional<uint32_t> Hex(std::string_view s) {
  if (s.empty() || s.size() > kMaxHexDigits) return std::nullopt;
  uint32_t v = 0;
  for (const char c : s) {
    uint32_t d;
    if (c >= '0' && c <= '9')
      d = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = static_cast<uint32_t>(c - 'A' + 10);
    else
      return std::nullopt;
    v = v * 16 + d;
  }
  return v;
}

// The line starting at p without its CR; *next past its LF, or npos when
// no LF ends it.
std::string_view LineAt(const Buffer& b, uint64_t p, uint64_t* next) {
  const uint64_t e = b.find('\n', p);
  *next = e == Buffer::npos ? Buffer::npos : e + 1;
  std::string_view line = b.view(p, (e == Buffer::npos ? b.size() : e) - p);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

Keywords ParseKeywords(std::string_view s) {
  Keywords k;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') ++i;
    const size_t eq = s.find('=', i);
    if (eq == std::string_view::npos) break;
    const std::string_view key = s.substr(i, eq - i);
    if (key == "name") {
      std::string_view name = s.substr(eq + 1);
      while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
      k.name = FitName(EightBitText(name), kMaxHeaderName);
      break;
    }
    size_t e = s.find(' ', eq + 1);
    if (e == std::string_view::npos) e = s.size();
    const std::string_view value = s.substr(eq + 1, e - eq - 1);
    if (key == "size") k.size = Decimal(value);
    if (key == "part") k.part = Decimal(value);
    if (key == "begin") k.begin = Decimal(value);
    if (key == "end") k.end = Decimal(value);
    if (key == "crc32") k.crc32 = Hex(value);
    if (key == "pcrc32") k.pcrc32 = Hex(value);
    i = e;
  }
  return k;
}

// A part's header lines: the "=ybegin" line and, for a part of a
// multi-part file, its "=ypart" line.
struct Head {
  Keywords begin;
  uint64_t first = 0, last = 0;  // the part's bytes, counted from 1
  uint64_t body = 0;
};

std::optional<Head> ReadHead(const Buffer& b, uint64_t p) {
  if (!b.startsWith(p, "=ybegin ")) return std::nullopt;
  Head h;
  uint64_t next = 0;
  h.begin = ParseKeywords(LineAt(b, p + 8, &next));
  if (next == Buffer::npos || !h.begin.size || h.begin.name.empty()) return std::nullopt;
  if (h.begin.part) {
    if (!b.startsWith(next, "=ypart ")) return std::nullopt;
    const Keywords part = ParseKeywords(LineAt(b, next + 7, &next));
    if (next == Buffer::npos || !part.begin || !part.end || *part.begin < 1 ||
        *part.end < *part.begin || *part.end > *h.begin.size)
      return std::nullopt;
    h.first = *part.begin;
    h.last = *part.end;
  }
  h.body = next;
  return h;
}

// The bytes of one part from its body to its "=yend" line; *end is past
// that line and *trailer its keywords.
bool DecodeBody(const Buffer& b, uint64_t body, std::vector<uint8_t>& out, Keywords* trailer,
                uint64_t* end) {
  for (uint64_t p = body; p < b.size();) {
    if (b.startsWith(p, "=yend")) {
      uint64_t next = 0;
      *trailer = ParseKeywords(LineAt(b, p + 5, &next));
      *end = next == Buffer::npos ? b.size() : next;
      return true;
    }
    // Another header inside the data: this part is damaged.
    if (b.startsWith(p, "=ybegin") || b.startsWith(p, "=ypart")) return false;
    uint64_t next = 0;
    const std::string_view line = LineAt(b, p, &next);
    if (next == Buffer::npos) return false;
    for (size_t i = 0; i < line.size(); ++i) {
      auto c = static_cast<uint8_t>(line[i]);
      if (c == '\r') continue;
      if (c == '=') {
        if (++i == line.size()) return false;
        c = static_cast<uint8_t>(static_cast<uint8_t>(line[i]) - 64);
      }
      out.push_back(static_cast<uint8_t>(c - 42));
    }
    p = next;
  }
  return false;
}

uint32_t Crc32(const std::vector<uint8_t>& bytes) {
  return static_cast<uint32_t>(crc32_z(0, bytes.data(), bytes.size()));
}

}  // namespace

uint64_t FindYencBegin(const Buffer& b, uint64_t from) {
  for (uint64_t q = b.find("=ybegin "sv, from); q != Buffer::npos; q = b.find("=ybegin "sv, q + 1))
    if (q == 0 || b.u8(q - 1) == '\n') return q;
  return Buffer::npos;
}

std::optional<DecodedPart> DecodeYenc(const Buffer& b, uint64_t p) {
  const std::optional<Head> head = ReadHead(b, p);
  if (!head) return std::nullopt;
  const uint64_t size = *head->begin.size;
  const bool multipart = head->begin.part.has_value();
  // A later part alone is no file; its first part stands before it.
  if (multipart && (*head->begin.part != 1 || head->first != 1)) return std::nullopt;

  std::vector<uint8_t> bytes;
  Keywords trailer;
  uint64_t firstEnd = 0;
  if (!DecodeBody(b, head->body, bytes, &trailer, &firstEnd)) return std::nullopt;
  if (!multipart) {
    if (bytes.size() != size || trailer.size != size) return std::nullopt;
    const std::optional<uint32_t> crc = trailer.crc32 ? trailer.crc32 : trailer.pcrc32;
    if (crc && *crc != Crc32(bytes)) return std::nullopt;
    return DecodedPart{p, head->body, firstEnd, head->begin.name, Buffer(std::move(bytes))};
  }

  // The parts, one after another, each taking up where the last one ended
  // and each checked by its own size and CRC.
  auto partAgrees = [&](const Head& h, size_t before) {
    const uint64_t got = bytes.size() - before;
    if (got != h.last - h.first + 1 || (trailer.size && *trailer.size != got)) return false;
    return !trailer.pcrc32 ||
           *trailer.pcrc32 == static_cast<uint32_t>(crc32_z(0, bytes.data() + before, got));
  };
  if (!partAgrees(*head, 0)) return std::nullopt;
  uint64_t next = firstEnd;
  for (uint64_t part = 2; bytes.size() < size; ++part) {
    const uint64_t q = FindYencBegin(b, next);
    if (q == Buffer::npos) return std::nullopt;
    const std::optional<Head> h = ReadHead(b, q);
    if (!h || h->begin.part != part || h->begin.name != head->begin.name || h->begin.size != size ||
        h->first != bytes.size() + 1)
      return std::nullopt;
    const size_t before = bytes.size();
    if (!DecodeBody(b, h->body, bytes, &trailer, &next) || !partAgrees(*h, before))
      return std::nullopt;
  }
  if (bytes.size() != size) return std::nullopt;
  if (trailer.crc32 && *trailer.crc32 != Crc32(bytes)) return std::nullopt;
  return DecodedPart{p, head->body, firstEnd, head->begin.name, Buffer(std::move(bytes))};
}

std::optional<Buffer> DecodeYencAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  std::optional<DecodedPart> part = DecodeYenc(data, offset);
  if (!part || part->decoded.size() > maxOutput) return std::nullopt;
  return std::move(part->decoded);
}

}  // namespace strellbox
