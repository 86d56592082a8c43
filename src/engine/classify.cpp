#include "engine/classify.h"

#include <algorithm>
#include <cctype>

namespace strellbox {

using namespace std::string_view_literals;

bool IsDataLegalASCII(const Buffer& data) {
  const uint64_t n = std::min<uint64_t>(data.size(), 4000);
  const uint8_t* p = data.data();
  for (uint64_t i = 0; i < n; ++i)
    if (!gIsLegalASCII[p[i]]) return false;
  return true;
}

std::string GuessExtension(const Buffer& b) {
  if (b.size() < 10) return "";
  struct Row {
    uint64_t offset;
    std::string_view bytes;
    const char* result;
  };
  // Rows tried in order; the first match decides.
  static constexpr Row kHead[] = {
      {0, "%PDF"sv, "pdf"},
      {0, "BM"sv, "bmp"},
      {0, "GIF"sv, "gif"},
      {0, "FWS"sv, "swf"},
      {0, "\x89PNG\r\n\x1a\n"sv, "png"},
      {0, "\xFF\xD8\xFF"sv, "jpg"},
      {0, "MM\x00\x2A"sv, "tiff"},
      {0, "StuffIt"sv, "sit"},
      {0, "II\x2A\x00"sv, "tiff"},
      {0, "ID3"sv, "mp3"},
  };
  for (const Row& r : kHead)
    if (b.startsWith(r.offset, r.bytes)) return r.result;
  if (b.startsWith(0, "RIFF"sv)) {
    if (b.startsWith(8, "WAVE"sv)) return "wav";
    if (b.startsWith(8, "AVI"sv)) return "avi";
  }
  if (b.startsWith(4, "appl"sv)) return "icc";
  if (b.startsWith(0, "PK\x03\x04"sv)) return "zip";
  if (b.startsWith(0, "\xFE\x37\x00\x23"sv)) return "doc";
  if (b.startsWith(0, "\xD0\xCF\x11\xE0"sv) && b.size() > 532) {
    if (b.startsWith(512, "\xEC\xA5\xC1\x00"sv)) return "doc";
    if (b.startsWith(512, "\xFD\xFF\xFF\xFF"sv)) return "xls";
    if (b.startsWith(512, "\xA0\x46\x1D\xF0"sv)) return "pps";
    if (b.startsWith(512, "\x00\x6E\x1E\xF0"sv)) return "ppt";
  }
  static constexpr Row kTail[] = {
      {0, "8BPS"sv, "psd"},
      {0, "\x00\x00\x01\xB3"sv, "mpeg"},
      {0, "\x00\x00\x01\xB4"sv, "mpeg"},
      {4, "moov"sv, "mov"},
      {2, "MZ"sv, "exe"},
      {0, "<?xml"sv, "xml"},
      {0, "{\\rtf"sv, "rtf"},
  };
  for (const Row& r : kTail)
    if (b.startsWith(r.offset, r.bytes)) return r.result;
  if (IsDataLegalASCII(b)) return "txt";
  return "";
}

bool IsWellKnownExtension(std::optional<std::string_view> extension) {
  if (!extension || extension->empty()) return false;
  std::string upper(*extension);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  static constexpr std::string_view kKnown[] = {"SHTML", "HTML", "HTM", "GIF", "XML", "JS",  "JPEG",
                                                "JPG",   "PNG",  "PDF", "CSS", "SWF", "TXT", "ICO"};
  return std::find(std::begin(kKnown), std::end(kKnown), upper) != std::end(kKnown);
}

std::pair<uint32_t, size_t> Utf8At(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return {c, 1};
  size_t n;
  uint32_t min;
  if ((c & 0xE0) == 0xC0)
    n = 1, min = 0x80;
  else if ((c & 0xF0) == 0xE0)
    n = 2, min = 0x800;
  else if ((c & 0xF8) == 0xF0)
    n = 3, min = 0x10000;
  else
    return {0, 0};
  if (i + n >= s.size()) return {0, 0};
  uint32_t v = c & (0x3F >> n);
  for (size_t k = 1; k <= n; ++k) {
    const auto d = static_cast<unsigned char>(s[i + k]);
    if ((d & 0xC0) != 0x80) return {0, 0};
    v = (v << 6) | (d & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return {0, 0};
  return {v, n + 1};
}

bool IsUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8At(s, i).second;
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace strellbox
