// Header blocks of message parts and the names they give: fields unfolded,
// parameters (plain, charset-tagged, continued), encoded words, charsets.
#include "extractors/mime_header.h"

#include <iconv.h>

#include <algorithm>
#include <array>

#include "engine/paths.h"
#include "extractors/base64.h"
#include "extractors/text.h"

namespace strellbox {

namespace {

using namespace std::string_view_literals;

// A field value longer than this is cut: real ones (a name continued over
// many sections included) stay far below it, and the parameter walk over
// one value then stays short.
constexpr size_t kMaxFieldValue = 16384;
// Numbered sections of one continued parameter (name*0, name*1, ...): a
// 255-byte name needs at most a few dozen.
constexpr unsigned kMaxSections = 64;
// The longest encoded word tried (the standard allows 75 bytes; mail
// programs overstep it), so that a run of "=?" without an end costs little.
constexpr size_t kMaxEncodedWord = 1024;
// Charset names are short tokens; anything else is not handed to iconv.
constexpr size_t kMaxCharsetName = 40;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Cut to at most kMaxHeaderName bytes, at a character boundary.
std::string Capped(std::string s) { return FitName(std::move(s), kMaxHeaderName); }

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char ch : bytes) {
    const auto c = static_cast<uint8_t>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// The line's text after its quote marks, without its CR.
std::string_view LineText(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  size_t p = 0;
  while (p < line.size() && line[p] == '>') {
    ++p;
    if (p < line.size() && line[p] == ' ') ++p;
  }
  return line.substr(p);
}

// Base64 of an encoded word: the alphabet, then at most two "=".
std::optional<std::string> DecodeWordBase64(std::string_view text) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  size_t pads = 0;
  for (const char ch : text) {
    const auto c = static_cast<uint8_t>(ch);
    if (c == '=') {
      ++pads;
      continue;
    }
    if (pads > 0 || !IsBase64(c)) return std::nullopt;
    acc = (acc << 6) | Base64Lookup(c);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  if (pads > 2) return std::nullopt;
  return out;
}

std::string DecodeWordQ(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      out.push_back(' ');
    } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// Bytes in the charset, or read as UTF-8 / Latin-1 when it is unknown.
std::string CharsetText(std::string_view bytes, std::string_view charset) {
  if (charset.empty()) return EightBitText(bytes);
  if (auto text = ToUtf8(bytes, charset)) return std::move(*text);
  return EightBitText(bytes);
}

// The encoded word starting at p ("=?"), decoded; *end is set past it.
std::optional<std::string> EncodedWordAt(std::string_view s, size_t p, size_t* end) {
  const size_t limit = std::min(s.size(), p + kMaxEncodedWord);
  size_t q = p + 2;
  const size_t charsetStart = q;
  while (q < limit && s[q] != '?' && !IsSpace(s[q])) ++q;
  if (q >= limit || s[q] != '?' || q == charsetStart) return std::nullopt;
  std::string_view charset = s.substr(charsetStart, q - charsetStart);
  // A language may follow the charset ("utf-8*en").
  if (const size_t star = charset.find('*'); star != std::string_view::npos)
    charset = charset.substr(0, star);
  if (q + 2 >= limit || s[q + 2] != '?') return std::nullopt;
  const char encoding = Lower(s[q + 1]);
  if (encoding != 'b' && encoding != 'q') return std::nullopt;
  const size_t textStart = q + 3;
  size_t e = textStart;
  while (e + 1 < limit && !(s[e] == '?' && s[e + 1] == '=') && !IsSpace(s[e])) ++e;
  if (e + 1 >= limit || s[e] != '?' || s[e + 1] != '=') return std::nullopt;
  const std::string_view text = s.substr(textStart, e - textStart);
  std::string bytes;
  if (encoding == 'b') {
    auto decoded = DecodeWordBase64(text);
    if (!decoded) return std::nullopt;
    bytes = std::move(*decoded);
  } else {
    bytes = DecodeWordQ(text);
  }
  *end = e + 2;
  return CharsetText(bytes, charset);
}

// The value of a parameter in its extended form: percent-encoded bytes,
// the first section led by "charset'language'".
std::string PercentDecoded(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

struct Section {
  bool present = false;
  bool extended = false;  // written name*N*= (percent-encoded)
  std::string value;
};

}  // namespace

uint64_t QuotePrefixEnd(const Buffer& b, uint64_t p, uint64_t end) {
  while (p < end && b.u8(p) == '>') {
    ++p;
    if (p < end && b.u8(p) == ' ') ++p;
  }
  return p;
}

bool BlankLineAt(const Buffer& b, uint64_t p, uint64_t* next) {
  const uint64_t n = b.size();
  uint64_t q = p;
  while (q < n) {
    const uint8_t c = b.u8(q);
    if (c != ' ' && c != '\t' && c != '>' && c != '\r') break;
    ++q;
  }
  if (q < n && b.u8(q) != '\n') return false;
  if (next) *next = q < n ? q + 1 : n;
  return true;
}

bool BoundaryLineAt(const Buffer& b, uint64_t p) {
  return b.startsWith(QuotePrefixEnd(b, p, b.size()), "--");
}

uint64_t HeaderBlockStart(const Buffer& b, uint64_t at, uint64_t floor) {
  auto lineStart = [&](uint64_t p) {
    while (p > floor && b.u8(p - 1) != '\n') --p;
    return p;
  };
  // A line is whole when it starts the buffer or follows a line feed.
  auto whole = [&](uint64_t p) { return p == 0 || b.u8(p - 1) == '\n'; };
  uint64_t line = lineStart(std::min(at, b.size()));
  if (!whole(line)) return floor;
  while (line > floor) {
    const uint64_t previous = lineStart(line - 1);
    if (!whole(previous)) break;
    if (BlankLineAt(b, previous, nullptr) || BoundaryLineAt(b, previous)) break;
    line = previous;
  }
  return line;
}

std::vector<HeaderField> ParseHeaderFields(std::string_view block) {
  std::vector<HeaderField> fields;
  bool open = false;  // the last line began a field that may go on
  size_t p = 0;
  while (p < block.size()) {
    size_t e = block.find('\n', p);
    if (e == std::string_view::npos) e = block.size();
    const std::string_view line = LineText(block.substr(p, e - p));
    p = e + 1;
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      if (open) {
        std::string& value = fields.back().value;
        value.append(line.substr(0, kMaxFieldValue - std::min(kMaxFieldValue, value.size())));
      }
      continue;
    }
    open = false;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    const std::string_view name = line.substr(0, colon);
    if (!std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7F; }))
      continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value[0] == ' ' || value[0] == '\t')) value.remove_prefix(1);
    fields.push_back({Lowered(name), std::string(value.substr(0, kMaxFieldValue))});
    open = true;
  }
  return fields;
}

std::optional<std::string> ParameterValue(std::string_view value, std::string_view parameter) {
  std::optional<std::string> plain, extended;
  std::array<Section, kMaxSections> sections;
  // The parameters follow the first ";" outside a quoted string.
  size_t i = 0;
  bool quoted = false;
  for (; i < value.size(); ++i) {
    if (value[i] == '"') quoted = !quoted;
    if (value[i] == ';' && !quoted) break;
  }
  while (i < value.size()) {
    while (i < value.size() && (value[i] == ';' || IsSpace(value[i]))) ++i;
    const size_t nameStart = i;
    while (i < value.size() && value[i] != '=' && value[i] != ';') ++i;
    if (i >= value.size() || value[i] != '=') continue;
    const std::string_view name = Trimmed(value.substr(nameStart, i - nameStart));
    ++i;
    while (i < value.size() && IsSpace(value[i])) ++i;
    std::string text;
    if (i < value.size() && value[i] == '"') {
      for (++i; i < value.size() && value[i] != '"'; ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        text.push_back(value[i]);
      }
      if (i < value.size()) ++i;
    } else {
      const size_t start = i;
      while (i < value.size() && value[i] != ';') ++i;
      text = std::string(Trimmed(value.substr(start, i - start)));
    }
    // name, name*, name*N or name*N*.
    if (name.size() < parameter.size() ||
        !EqualsNoCase(name.substr(0, parameter.size()), parameter))
      continue;
    const std::string_view rest = name.substr(parameter.size());
    if (rest.empty()) {
      if (!plain) plain = std::move(text);
    } else if (rest == "*") {
      if (!extended) extended = std::move(text);
    } else if (rest[0] == '*') {
      std::string_view digits = rest.substr(1);
      const bool star = !digits.empty() && digits.back() == '*';
      if (star) digits.remove_suffix(1);
      if (digits.empty() || digits.size() > 2 ||
          !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        continue;
      const unsigned k = static_cast<unsigned>(std::stoi(std::string(digits)));
      if (k < kMaxSections && !sections[k].present) sections[k] = {true, star, std::move(text)};
    }
  }

  if (extended || sections[0].present) {
    std::string bytes, charset;
    for (unsigned k = 0; k < kMaxSections; ++k) {
      const Section section =
          extended ? (k == 0 ? Section{true, true, *extended} : Section{}) : sections[k];
      if (!section.present) break;
      std::string_view text = section.value;
      if (k == 0 && section.extended) {
        // charset'language'bytes; without both quotes the whole is bytes.
        const size_t first = text.find('\'');
        const size_t second = first == std::string_view::npos ? first : text.find('\'', first + 1);
        if (second != std::string_view::npos) {
          charset = std::string(text.substr(0, first));
          text = text.substr(second + 1);
        }
      }
      bytes += section.extended ? PercentDecoded(text) : std::string(text);
      if (bytes.size() > kMaxFieldValue) break;
    }
    return Capped(CharsetText(bytes, charset));
  }
  if (plain) return Capped(DecodeEncodedWords(*plain));
  return std::nullopt;
}

std::string DecodeEncodedWords(std::string_view text) {
  std::string out;
  size_t literal = 0;  // start of the text not written yet
  bool afterWord = false;
  for (size_t p = text.find("=?"); p != std::string_view::npos; p = text.find("=?", p + 1)) {
    if (p < literal) continue;
    size_t end = 0;
    std::optional<std::string> word = EncodedWordAt(text, p, &end);
    if (!word) continue;
    const std::string_view between = text.substr(literal, p - literal);
    if (!(afterWord && Trimmed(between).empty())) out += EightBitText(between);
    out += *word;
    literal = end;
    afterWord = true;
    p = end - 1;
  }
  out += EightBitText(text.substr(std::min(literal, text.size())));
  return out;
}

std::optional<std::string> ToUtf8(std::string_view bytes, std::string_view charset) {
  const std::string name = Lowered(Trimmed(charset));
  if (name == "utf-8" || name == "utf8") return EightBitText(bytes);
  if (name == "us-ascii" || name == "ascii" || name == "iso-8859-1" || name == "iso8859-1" ||
      name == "iso_8859-1" || name == "latin1" || name == "latin-1" || name == "l1")
    return Latin1ToUtf8(bytes);
  if (name.empty() || name.size() > kMaxCharsetName ||
      !std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.' || c == ':';
      }))
    return std::nullopt;
  // One descriptor per conversion: nothing is shared between scans.
  iconv_t cd = iconv_open("UTF-8", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string in(bytes);
  std::string out(in.size() * 4 + 16, '\0');
  char* inp = in.data();
  size_t inLeft = in.size();
  char* outp = out.data();
  size_t outLeft = out.size();
  const size_t done = iconv(cd, &inp, &inLeft, &outp, &outLeft);
  const bool flushed = iconv(cd, nullptr, nullptr, &outp, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (done == static_cast<size_t>(-1) || !flushed || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

PartHeader ReadPartHeader(std::string_view block) {
  PartHeader header;
  bool haveEncoding = false, haveDisposition = false, haveType = false, haveDescription = false,
       haveLocation = false;
  for (const HeaderField& field : ParseHeaderFields(block)) {
    const std::string_view value = field.value;
    if (field.name == "content-transfer-encoding" && !haveEncoding) {
      haveEncoding = true;
      std::string_view token = Trimmed(value);
      const size_t end = token.find_first_of(" \t;(");
      header.transferEncoding = Lowered(token.substr(0, end));
    } else if (field.name == "content-disposition" && !haveDisposition) {
      haveDisposition = true;
      header.filename = ParameterValue(value, "filename").value_or("");
    } else if (field.name == "content-type" && !haveType) {
      haveType = true;
      header.name = ParameterValue(value, "name").value_or("");
    } else if (field.name == "content-description" && !haveDescription) {
      haveDescription = true;
      header.description = Capped(DecodeEncodedWords(Trimmed(value)));
    } else if (field.name == "content-location" && !haveLocation) {
      haveLocation = true;
      std::string_view location = Trimmed(value);
      if (location.size() >= 2 && location.front() == '"' && location.back() == '"')
        location = location.substr(1, location.size() - 2);
      header.location = Capped(EightBitText(location));
    }
  }
  return header;
}

}  // namespace strellbox
