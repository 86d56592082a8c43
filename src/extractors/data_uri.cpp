// Pictures and other files written inline as `data:<type>;base64,<data>`
// URIs, in SVG, HTML, CSS or any other text. One sweep for "data:" over
// the buffer; each URI whose media type and Base64 flag check is decoded
// and handed to the dispatcher, so that the picture in it comes out as an
// item through its own pass. URIs without the Base64 flag (percent-encoded
// text) are passed over: they hold text, not pictures.
//
//   "data:" --type/subtype--> [";" parameter]* --";base64,"--> data
//   data: the alphabet, "=" at its end, and white space (attributes and
//   style sheets wrap long values); it ends at the first other byte.
#include <fmt/format.h>

#include <optional>

#include "engine/cursor.h"
#include "engine/decoder_table.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/base64.h"

namespace strellbox {

namespace {

constexpr std::string_view kScheme = "data:";
constexpr uint64_t kMaxTypePart = 127;  // each of type and subtype
constexpr uint64_t kMaxParameter = 256;
constexpr int kMaxParameters = 8;
// Data this short holds no picture worth a file (a 1x1 GIF is 35 bytes).
constexpr uint64_t kMinData = 32;

bool IsTokenByte(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '!' ||
         c == '#' || c == '$' || c == '&' || c == '^' || c == '_' || c == '.' || c == '+' ||
         c == '-';
}
bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A URI found: its media type and where its data lies.
struct DataUri {
  std::string_view type;
  uint64_t data = 0;  // first byte of the Base64 text
  uint64_t end = 0;   // just past its last data character
  uint64_t characters = 0;
};

// The token at the cursor, 1 to `most` bytes; nothing when none stands there.
std::optional<std::string_view> Token(const Buffer& b, Cursor& c, uint64_t most) {
  const uint64_t from = c.at();
  uint64_t n = 0;
  while (n < most && c.left() > n && IsTokenByte(b.u8(from + n))) ++n;
  if (n == 0) return std::nullopt;
  return c.bytes(n);
}

std::optional<DataUri> ReadDataUri(const Buffer& b, uint64_t p) {
  Cursor c(b, p);
  if (!c.startsWith(kScheme)) return std::nullopt;
  c.skip(kScheme.size());
  const uint64_t typeStart = c.at();
  const std::optional<std::string_view> type = Token(b, c, kMaxTypePart);
  const std::optional<uint8_t> slash = c.u8();
  if (!type || slash != '/' || !Token(b, c, kMaxTypePart)) return std::nullopt;
  const std::string_view mediaType = b.view(typeStart, c.at() - typeStart);
  for (int i = 0;; ++i) {
    if (i > kMaxParameters || c.u8() != ';') return std::nullopt;
    if (c.startsWith("base64,")) break;
    // A parameter, `name=value` (a charset, a name): up to the next ";".
    const uint64_t next = b.find(uint8_t{';'}, c.at(), std::min(b.size(), c.at() + kMaxParameter));
    if (next == Buffer::npos) return std::nullopt;
    const std::string_view parameter = b.view(c.at(), next - c.at());
    if (parameter.find_first_of(",\"'<> \n") != std::string_view::npos) return std::nullopt;
    c.seek(next);
  }
  c.skip(7);
  DataUri uri{mediaType, c.at(), c.at(), 0};
  // One pass over the data, '=' only at its end.
  bool padding = false;
  for (uint64_t q = c.at(); q < b.size(); ++q) {
    const uint8_t ch = b.u8(q);
    if (IsSpace(ch)) continue;
    if (ch == '=') {
      padding = true;
    } else if (padding || !IsBase64(ch)) {
      break;
    }
    ++uri.characters;
    uri.end = q + 1;
  }
  if (uri.characters < kMinData) return std::nullopt;
  return uri;
}

// What the data decodes to at most.
uint64_t DecodedSize(const DataUri& uri) { return uri.characters / 4 * 3 + 3; }

Buffer DecodeData(const Buffer& b, const DataUri& uri) {
  return Base64Decode(b.slice(uri.data, uri.end - uri.data));
}

}  // namespace

std::optional<Buffer> DecodeDataUriAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  const std::optional<DataUri> uri = ReadDataUri(data, offset);
  if (!uri || DecodedSize(*uri) > maxOutput) return std::nullopt;
  return DecodeData(data, *uri);
}

int32_t strellDataURIs(ScanContext& context, const Buffer& data, const std::string& from) {
  if (!context.mayScanDecoded()) return 0;
  const std::string name = fmt::format("{}-data", DeletingPathExtension(from));
  int32_t count = 0;
  for (uint64_t p = data.find(kScheme, 0); p != Buffer::npos && !context.stopStreller();) {
    const std::optional<DataUri> uri = ReadDataUri(data, p);
    // Data past what the gate would take is not decoded: a cut picture is
    // no picture.
    if (!uri || DecodedSize(*uri) > context.decodedAllowance()) {
      p = data.find(kScheme, p + 1);
      continue;
    }
    DecodedChild child{DecodeData(data, *uri), DecoderId::kDataUri, p, std::string(uri->type)};
    count += context.scanChild(data, child, name).items;
    p = data.find(kScheme, uri->end);
  }
  return count;
}

}  // namespace strellbox
