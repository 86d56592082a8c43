#include "pdf/pdf_filters.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <vector>

namespace strellbox {

namespace {

// Filters in a chain beyond this many are not decoded: writers use one or
// two, and each step may grow the data.
constexpr size_t kMaxFilters = 8;

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return (c | 0x20) - 'a' + 10;
  return -1;
}

bool IsWhite(uint8_t c) {
  return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

std::optional<std::string> AsciiHexDecode(std::string_view in, uint64_t maxOutput) {
  std::string out;
  int high = -1;
  for (uint8_t c : in) {
    if (c == '>') break;
    if (IsWhite(c)) continue;
    const int v = HexValue(c);
    if (v < 0) return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      if (out.size() >= maxOutput) return std::nullopt;
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0 && out.size() < maxOutput) out.push_back(static_cast<char>(high * 16));
  return out;
}

std::optional<std::string> Ascii85Decode(std::string_view in, uint64_t maxOutput) {
  std::string out;
  uint32_t group[5];
  int n = 0;
  auto flush = [&](int count) {
    uint64_t value = 0;
    for (int i = 0; i < 5; ++i) value = value * 85 + (i < count ? group[i] : 84);
    if (value > std::numeric_limits<uint32_t>::max()) return false;
    for (int i = 0; i < count - 1; ++i) out.push_back(static_cast<char>(value >> (24 - 8 * i)));
    return true;
  };
  size_t i = 0;
  if (in.substr(0, 2) == "<~") i = 2;
  for (; i < in.size(); ++i) {
    const uint8_t c = in[i];
    if (IsWhite(c)) continue;
    if (c == '~') break;
    if (out.size() + 4 > maxOutput) return std::nullopt;
    if (c == 'z' && n == 0) {
      out.append(4, '\0');
      continue;
    }
    if (c < '!' || c > 'u') return std::nullopt;
    group[n++] = c - '!';
    if (n == 5) {
      if (!flush(5)) return std::nullopt;
      n = 0;
    }
  }
  if (n == 1) return std::nullopt;
  if (n > 1 && !flush(n)) return std::nullopt;
  return out;
}

int32_t IntEntry(const PDFDictionary* parms, const char* key, int32_t fallback) {
  if (parms == nullptr) return fallback;
  PDFObjectPtr value = PDFResolve(parms->objectForKey(key));
  if (!dynamic_cast<const PDFInteger*>(value.get())) return fallback;
  return value->intValue();
}

// The i-th element of a filter or parameter entry that is a single value
// or an array.
PDFObjectPtr Element(const PDFObjectPtr& entry, size_t i, size_t& count) {
  PDFObjectPtr value = PDFResolve(entry);
  if (auto* array = dynamic_cast<const PDFArray*>(value.get())) {
    count = array->array().size();
    return i < count ? PDFResolve(array->array()[i]) : nullptr;
  }
  count = value ? 1 : 0;
  return i == 0 ? value : nullptr;
}

}  // namespace

PDFObjectPtr PDFResolve(const PDFObjectPtr& object) {
  if (auto* reference = dynamic_cast<const PDFIndirectObjectReference*>(object.get()))
    return reference->referencedObject();
  return object;
}

std::optional<Buffer> PDFInflate(const Buffer& data, uint64_t maxOutput) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  std::vector<uint8_t> out;
  constexpr uint64_t kStep = 1 << 16;
  const uint8_t* in = data.data();
  uint64_t inLeft = data.size();
  int status = Z_OK;
  while (status == Z_OK) {
    if (out.size() >= maxOutput) break;
    if (z.avail_in == 0) {
      const uint64_t chunk = std::min<uint64_t>(inLeft, std::numeric_limits<uInt>::max());
      z.next_in = const_cast<Bytef*>(in);
      z.avail_in = static_cast<uInt>(chunk);
      in += chunk;
      inLeft -= chunk;
    }
    const uint64_t room = std::min(kStep, maxOutput - out.size());
    const size_t used = out.size();
    out.resize(used + room);
    z.next_out = out.data() + used;
    z.avail_out = static_cast<uInt>(room);
    status = inflate(&z, Z_NO_FLUSH);
    out.resize(used + (room - z.avail_out));
    if (status == Z_BUF_ERROR && z.avail_in == 0 && inLeft == 0) break;  // cut short
    if (status == Z_BUF_ERROR) status = Z_OK;
  }
  inflateEnd(&z);
  if (status != Z_STREAM_END && out.empty()) return std::nullopt;
  return Buffer(std::move(out));
}

bool PDFUnpredict(std::string& data, int32_t predictor, int32_t colors, int32_t bitsPerComponent,
                  int32_t columns) {
  if (predictor <= 1) return true;
  if (colors < 1 || colors > 32 || columns < 1 || columns > (1 << 24) ||
      (bitsPerComponent != 1 && bitsPerComponent != 2 && bitsPerComponent != 4 &&
       bitsPerComponent != 8 && bitsPerComponent != 16))
    return false;
  const uint64_t bitsPerPixel = static_cast<uint64_t>(colors) * bitsPerComponent;
  const uint64_t rowBytes = (bitsPerPixel * static_cast<uint64_t>(columns) + 7) / 8;
  const uint64_t pixelBytes = std::max<uint64_t>(1, bitsPerPixel / 8);
  if (predictor == 2) {
    if (bitsPerComponent != 8) return false;
    for (uint64_t row = 0; row + rowBytes <= data.size(); row += rowBytes)
      for (uint64_t i = pixelBytes; i < rowBytes; ++i)
        data[row + i] = static_cast<char>(data[row + i] + data[row + i - pixelBytes]);
    return true;
  }
  if (predictor < 10 || predictor > 15) return false;
  // Each row is one tag byte (the PNG filter type) and rowBytes of data.
  std::string out;
  out.reserve(data.size() / (rowBytes + 1) * rowBytes);
  std::string previous(rowBytes, '\0');
  for (uint64_t at = 0; at + rowBytes + 1 <= data.size(); at += rowBytes + 1) {
    const uint8_t type = static_cast<uint8_t>(data[at]);
    std::string row = data.substr(at + 1, rowBytes);
    for (uint64_t i = 0; i < rowBytes; ++i) {
      const int a = i >= pixelBytes ? static_cast<uint8_t>(row[i - pixelBytes]) : 0;
      const int b = static_cast<uint8_t>(previous[i]);
      const int c = i >= pixelBytes ? static_cast<uint8_t>(previous[i - pixelBytes]) : 0;
      int add = 0;
      switch (type) {
        case 1:
          add = a;
          break;
        case 2:
          add = b;
          break;
        case 3:
          add = (a + b) / 2;
          break;
        case 4: {
          const int p = a + b - c;
          const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
          add = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
          break;
        }
        default:
          break;
      }
      row[i] = static_cast<char>(static_cast<uint8_t>(row[i]) + add);
    }
    out += row;
    previous = std::move(row);
  }
  data = std::move(out);
  return true;
}

std::optional<Buffer> PDFDecodeStream(const PDFDictionary& stream, const Buffer& data,
                                      uint64_t& budget) {
  PDFObjectPtr filters = stream.objectForKey("/Filter");
  if (!filters) filters = stream.objectForKey("/F");
  PDFObjectPtr parms = stream.objectForKey("/DecodeParms");
  if (!parms) parms = stream.objectForKey("/DP");
  size_t count = 0;
  Element(filters, 0, count);
  if (count > kMaxFilters) return std::nullopt;
  Buffer current = data;
  for (size_t i = 0; i < count; ++i) {
    size_t ignored = 0;
    auto name = std::dynamic_pointer_cast<PDFName>(Element(filters, i, ignored));
    if (!name) return std::nullopt;
    auto parameters = std::dynamic_pointer_cast<PDFDictionary>(Element(parms, i, ignored));
    const std::string& filter = name->name();
    std::string decoded;
    if (filter == "/FlateDecode" || filter == "/Fl") {
      std::optional<Buffer> inflated = PDFInflate(current, budget);
      if (!inflated) return std::nullopt;
      decoded.assign(inflated->view());
      const int32_t predictor = IntEntry(parameters.get(), "/Predictor", 1);
      if (!PDFUnpredict(decoded, predictor, IntEntry(parameters.get(), "/Colors", 1),
                        IntEntry(parameters.get(), "/BitsPerComponent", 8),
                        IntEntry(parameters.get(), "/Columns", 1)))
        return std::nullopt;
    } else if (filter == "/ASCIIHexDecode" || filter == "/AHx") {
      std::optional<std::string> out = AsciiHexDecode(current.view(), budget);
      if (!out) return std::nullopt;
      decoded = std::move(*out);
    } else if (filter == "/ASCII85Decode" || filter == "/A85") {
      std::optional<std::string> out = Ascii85Decode(current.view(), budget);
      if (!out) return std::nullopt;
      decoded = std::move(*out);
    } else {
      return std::nullopt;
    }
    if (decoded.size() > budget) return std::nullopt;
    budget -= decoded.size();
    current = Buffer::fromString(decoded);
  }
  return current;
}

std::string PDFStringBytes(std::string_view token) {
  std::string out;
  if (token.empty()) return out;
  if (token[0] == '<') {
    int high = -1;
    for (size_t i = 1; i < token.size(); ++i) {
      const uint8_t c = token[i];
      if (c == '>') break;
      const int v = HexValue(c);
      if (v < 0) continue;
      if (high < 0) {
        high = v;
      } else {
        out.push_back(static_cast<char>(high * 16 + v));
        high = -1;
      }
    }
    if (high >= 0) out.push_back(static_cast<char>(high * 16));
    return out;
  }
  if (token[0] != '(') return std::string(token);
  // The closing parenthesis, when the token has one, is not content.
  size_t end = token.size();
  if (end >= 2 && token[end - 1] == ')') {
    size_t backslashes = 0;
    for (size_t k = end - 1; k > 1 && token[k - 1] == '\\'; --k) ++backslashes;
    if (backslashes % 2 == 0) --end;
  }
  for (size_t i = 1; i < end; ++i) {
    const char c = token[i];
    if (c == '\r') {
      out.push_back('\n');
      if (i + 1 < end && token[i + 1] == '\n') ++i;
      continue;
    }
    if (c != '\\' || i + 1 >= end) {
      if (c != '\\') out.push_back(c);
      continue;
    }
    const char e = token[++i];
    switch (e) {
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case '\r':
        if (i + 1 < end && token[i + 1] == '\n') ++i;
        break;
      case '\n':
        break;
      default:
        if (e >= '0' && e <= '7') {
          int value = e - '0';
          for (int k = 0; k < 2 && i + 1 < end && token[i + 1] >= '0' && token[i + 1] <= '7'; ++k)
            value = value * 8 + (token[++i] - '0');
          out.push_back(static_cast<char>(value & 0xFF));
        } else {
          out.push_back(e);  // "\(", "\)", "\\" and any other escaped byte
        }
    }
  }
  return out;
}

std::string PDFHexString(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2 + 2);
  out.push_back('<');
  for (uint8_t c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  out.push_back('>');
  return out;
}

}  // namespace strellbox
