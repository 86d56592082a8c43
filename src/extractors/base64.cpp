// Base64 attachments of mail and news files, and long Base64 blocks anywhere;
// with extended detection also uuencoded and yEnc files.
//
// A block is found in one of two ways:
//  - after the keyword "base64" in any case (a Content-Transfer-Encoding
//    line): the name comes from the header fields of the part's own header
//    block, the body from after the blank line that ends that block;
//  - without a keyword, as a long run of legal bytes over several lines.
// Either way only a body that decodes cleanly is written (see
// DecodeCleanBase64), and the search goes on at the end of the block.
//
// The finder walks the bytes once with three counters: the run length R, the
// run's counted lines K and the run's start S.
//
//   outside a run --legal byte--> in a run (S = here, R = 1)
//   in a run --legal byte--> R + 1; a line break adds 1 to K when R > 32K + 1
//   in a run --illegal byte--> outside a run (R = K = 0)
//   in a run with R > 256 and 4 <= K <= 19 --> found by run
//
// "base64" at any offset ends the walk first (found by keyword).
#include "extractors/base64.h"

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/classify.h"
#include "engine/decoder_table.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/mime_header.h"
#include "extractors/text.h"
#include "extractors/uuencode.h"
#include "extractors/yenc.h"

namespace strellbox {

namespace {

using namespace std::string_view_literals;

constexpr uint64_t npos = Buffer::npos;

// A buffer this small holds no attachment worth the search.
constexpr uint64_t kMinBuffer = 100;
// Blocks of this many bytes or fewer are not reported; also how far the
// search moves on after a candidate that gave nothing.
constexpr uint64_t kMinBlock = 256;
// Names from header fields are 1 to 63 bytes; longer values give no name.
constexpr uint64_t kMaxName = 63;
// A run is Base64 text when it spans this many counted lines.
constexpr uint64_t kMinRunLines = 4;
constexpr uint64_t kMaxRunLines = 19;
// Above this size a buffer reports progress after every item.
constexpr uint64_t kProgressSize = 2000000;

// Per-byte classes of the finder, one table lookup per byte.
enum : uint8_t { kLegal = 1, kLineBreak = 2 };

constexpr std::array<uint8_t, 256> MakeFinderTable() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const auto b = static_cast<uint8_t>(c);
    uint8_t k = gIsLegalBase64[b] ? kLegal : 0;
    if (b == '\n' || b == '\r') k |= kLineBreak;
    t[c] = k;
  }
  return t;
}
constexpr std::array<uint8_t, 256> kFinderClass = MakeFinderTable();

// Values of the data characters; 0xFF for every byte the decoder skips.
constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const auto b = static_cast<uint8_t>(c);
    t[c] = IsBase64(b) ? Base64Lookup(b) : 0xFF;
  }
  return t;
}
constexpr std::array<uint8_t, 256> kDecodeValue = MakeDecodeTable();

// Bodies and runs are long, so thirty-two bytes are classified at once
// where the processor allows.
#if defined(__x86_64__) && defined(__GNUC__)
// Each legal byte is the AND of a bit chosen by its high nibble and a bit
// chosen by its low nibble: line breaks (0A, 0D), space + / (20 2B 2F),
// digits = > (30-39 3D 3E), A-O a-o (41-4F 61-6F), P-Z p-z (50-5A 70-7A).
__attribute__((target("avx2"))) uint64_t ScanLegalAvx2(const uint8_t* b, uint64_t from,
                                                       uint64_t end, bool stopAtLineBreaks) {
  const __m256i low =
      _mm256_setr_epi8(0x16, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x19, 0x0A, 0x08,
                       0x0D, 0x0C, 0x0A, 0x16, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C, 0x1C,
                       0x19, 0x0A, 0x08, 0x0D, 0x0C, 0x0A);
  const char lineBreaks = stopAtLineBreaks ? 0 : 0x01;
  const __m256i high =
      _mm256_setr_epi8(lineBreaks, 0, 0x02, 0x04, 0x08, 0x10, 0x08, 0x10, 0, 0, 0, 0, 0, 0, 0, 0,
                       lineBreaks, 0, 0x02, 0x04, 0x08, 0x10, 0x08, 0x10, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i zero = _mm256_setzero_si256();
  uint64_t i = from;
  for (; end - i >= 32; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
    const __m256i lowBits = _mm256_shuffle_epi8(low, _mm256_and_si256(v, nibble));
    const __m256i highBits =
        _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
    const auto stops = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(lowBits, highBits), zero)));
    if (stops != 0) return i + static_cast<uint64_t>(__builtin_ctz(stops));
  }
  return i;
}
// Initialised before main; the feature table may not be filled in yet then.
const bool gHaveAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
#endif

// The value of a header field starting at v: up to the first LF, "?=" or
// (when stopAtQuote) double quote, which must stand before `limit`. A CR
// that ends a CR LF line is not part of the value. Values longer than
// kMaxName give nothing, so at most kMaxName + 2 bytes are read.
std::optional<std::string> HeaderValue(const Buffer& b, uint64_t v, uint64_t limit,
                                       bool stopAtQuote) {
  for (uint64_t e = v; e < limit && e - v <= kMaxName + 1; ++e) {
    const uint8_t c = b.u8(e);
    const bool ends = c == '\n' || (c == '?' && b.u8(e + 1) == '=') || (stopAtQuote && c == '"');
    if (!ends) continue;
    uint64_t end = e;
    if (c == '\n' && end > v && b.u8(end - 1) == '\r') --end;
    if (end == v || end - v > kMaxName) return std::nullopt;
    return EightBitText(b.view(v, end - v));
  }
  return std::nullopt;
}

// What one line of a body is to the clean decoder, quote marks,
// indentation and trailing white space aside.
enum class LineKind { kBlank, kData, kOther };
struct LineLook {
  LineKind kind = LineKind::kOther;
  uint64_t width = 0;  // data characters, padding included
  uint64_t pads = 0;
};

LineLook LookAtLine(std::string_view line) {
  size_t a = 0;
  while (a < line.size() && (line[a] == '>' || line[a] == ' ' || line[a] == '\t')) ++a;
  size_t e = line.size();
  while (e > a && (line[e - 1] == ' ' || line[e - 1] == '\t' || line[e - 1] == '\r')) --e;
  if (a == e) return {LineKind::kBlank};
  size_t k = a;
  while (k < e && line[k] != '=' && kDecodeValue[static_cast<uint8_t>(line[k])] != 0xFF) ++k;
  uint64_t pads = 0;
  while (k < e && line[k] == '=') ++k, ++pads;
  if (k != e || pads > 2) return {LineKind::kOther};
  return {LineKind::kData, e - a, pads};
}

// Decodes the data characters of `in` (skipping every other byte) into
// `out`; a group left open stays in acc and group.
void DecodeGroups(std::string_view in, std::vector<uint8_t>& out, uint32_t& acc, int& group) {
  const size_t size = in.size();
  auto value = [&in](size_t i) { return kDecodeValue[static_cast<uint8_t>(in[i])]; };
  out.reserve(out.size() + size / 4 * 3 + 3);
  // Bytes are decoded into a small block that stays in the cache and are
  // appended a block at a time.
  std::array<uint8_t, 3 * 4096> block;
  size_t used = 0;
  for (size_t i = 0; i < size;) {
    if (used > block.size() - 3) {
      out.insert(out.end(), block.begin(), block.begin() + static_cast<ptrdiff_t>(used));
      used = 0;
    }
    // Most of a body is whole groups of four data characters.
    if (group == 0 && size - i >= 4) {
      const uint8_t a = value(i), b = value(i + 1), c = value(i + 2), d = value(i + 3);
      if (((a | b | c | d) & 0x80) == 0) {
        const uint32_t v = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
        block[used++] = static_cast<uint8_t>(v >> 16);
        block[used++] = static_cast<uint8_t>(v >> 8);
        block[used++] = static_cast<uint8_t>(v);
        i += 4;
        continue;
      }
    }
    const uint8_t v = value(i++);
    if (v == 0xFF) continue;  // line breaks, spaces, ">" and any other byte
    acc = (acc << 6) | v;
    if (++group == 4) {
      block[used++] = static_cast<uint8_t>(acc >> 16);
      block[used++] = static_cast<uint8_t>(acc >> 8);
      block[used++] = static_cast<uint8_t>(acc);
      acc = 0;
      group = 0;
    }
  }
  out.insert(out.end(), block.begin(), block.begin() + static_cast<ptrdiff_t>(used));
}

// Extensions a header may give that the type guessed from the bytes
// confirms: the guess names the family's first member.
constexpr std::string_view kZipFamily[] = {"zip", "docx", "xlsx", "pptx", "docm", "xlsm", "pptm",
                                           "odt", "ods",  "odp",  "odg",  "epub", "jar",  "apk",
                                           "xpi", "kmz",  "cbz",  "3mf",  "vsdx", "whl",  "ipa"};
constexpr std::string_view kJpegFamily[] = {"jpg", "jpeg", "jpe", "jfif"};
constexpr std::string_view kTiffFamily[] = {"tiff", "tif", "dng", "nef", "cr2", "arw", "orf"};
constexpr std::string_view kOfficeFamily[] = {"doc", "xls", "ppt", "pps",
                                              "dot", "xlt", "pot", "msg"};
constexpr std::string_view kMpegFamily[] = {"mpeg", "mpg", "mpe", "m1v", "m2v", "vob"};
constexpr std::string_view kMovFamily[] = {"mov", "mp4", "m4a", "m4v", "3gp", "qt"};
constexpr std::string_view kPdfFamily[] = {"pdf", "ai"};
constexpr std::string_view kBmpFamily[] = {"bmp", "dib"};
constexpr std::string_view kExeFamily[] = {"exe", "dll", "sys", "scr", "ocx"};
constexpr std::string_view kIccFamily[] = {"icc", "icm"};
constexpr std::string_view kPsdFamily[] = {"psd", "psb"};
constexpr std::string_view kRtfFamily[] = {"rtf", "doc"};

template <size_t N>
bool InFamily(const std::string_view (&family)[N], std::string_view guessed, std::string_view ext) {
  if (guessed != family[0] &&
      !(family[0] == "doc" && (guessed == "xls" || guessed == "ppt" || guessed == "pps")))
    return false;
  return std::find(std::begin(family), std::end(family), ext) != std::end(family);
}

// Whether a name's extension may stand for bytes whose type was guessed.
// "txt" (legal text) and "xml" say little of a file, so any extension
// counts for them.
bool ExtensionAgrees(std::string_view headerExt, std::string_view guessed) {
  std::string ext(headerExt);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == guessed || guessed == "txt" || guessed == "xml") return true;
  return InFamily(kZipFamily, guessed, ext) || InFamily(kJpegFamily, guessed, ext) ||
         InFamily(kTiffFamily, guessed, ext) || InFamily(kOfficeFamily, guessed, ext) ||
         InFamily(kMpegFamily, guessed, ext) || InFamily(kMovFamily, guessed, ext) ||
         InFamily(kPdfFamily, guessed, ext) || InFamily(kBmpFamily, guessed, ext) ||
         InFamily(kExeFamily, guessed, ext) || InFamily(kIccFamily, guessed, ext) ||
         InFamily(kPsdFamily, guessed, ext) || InFamily(kRtfFamily, guessed, ext);
}

// An extension from a header is used as a file's type only when it is a
// short word of letters and digits; anything else ("2 notes" of
// "v1.2 notes") is part of the name.
constexpr size_t kMaxHeaderExtension = 16;
bool UsableExtension(std::string_view ext) {
  return !ext.empty() && ext.size() <= kMaxHeaderExtension &&
         std::all_of(ext.begin(), ext.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
         });
}

// The transfer encoding a header block names (lower case), "" for none.
// Read line by line without building the block's fields: the classic pass
// asks this of every keyword.
std::string TransferEncoding(std::string_view block) {
  constexpr std::string_view kField = "content-transfer-encoding:";
  for (size_t p = 0; p < block.size();) {
    size_t e = block.find('\n', p);
    if (e == std::string_view::npos) e = block.size();
    std::string_view line = block.substr(p, e - p);
    p = e + 1;
    while (!line.empty() && line[0] == '>') {
      line.remove_prefix(1);
      if (!line.empty() && line[0] == ' ') line.remove_prefix(1);
    }
    if (line.size() < kField.size()) continue;
    bool match = true;
    for (size_t k = 0; k < kField.size() && match; ++k)
      match = std::tolower(static_cast<unsigned char>(line[k])) == kField[k];
    if (!match) continue;
    std::string token;
    for (const char c : line.substr(kField.size())) {
      if (c == ' ' || c == '\t' || c == ';' || c == '(' || c == '\r') {
        if (token.empty()) continue;
        break;
      }
      token.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return token;
  }
  return {};
}

}  // namespace

uint64_t LegalBase64End(std::string_view b, uint64_t from, uint64_t end, bool stopAtLineBreaks) {
  uint64_t i = from;
#if defined(__x86_64__) && defined(__GNUC__)
  if (gHaveAvx2 && i < end) {
    i = ScanLegalAvx2(reinterpret_cast<const uint8_t*>(b.data()), i, end, stopAtLineBreaks);
    if (end - i >= 32) return i;
  }
#endif
  const uint8_t stop = stopAtLineBreaks ? kLineBreak : 0;
  for (; i < end; ++i) {
    const uint8_t cls = kFinderClass[static_cast<uint8_t>(b[i])];
    if (!(cls & kLegal) || (cls & stop)) return i;
  }
  return end;
}

bool Base64Finder::legal(uint64_t i) const { return kFinderClass[data_.u8(i)] & kLegal; }

// The keyword in any case: the search stops at "64" (rare in text and in
// Base64 bodies alike) and looks at the four letters before it.
uint64_t Base64Finder::KeywordSearch::operator()(uint64_t from) const {
  for (uint64_t p = data->findPair('6', '4', from + 4, limit + 4); p != npos;
       p = data->findPair('6', '4', p + 1, limit + 4)) {
    const uint64_t k = p - 4;
    if ((data->u8(k) | 0x20) == 'b' && (data->u8(k + 1) | 0x20) == 'a' &&
        (data->u8(k + 2) | 0x20) == 's' && (data->u8(k + 3) | 0x20) == 'e')
      return k;
  }
  return npos;
}

// Only runs of more than kMinBlock legal bytes can be found, so the walk
// looks at every (kMinBlock + 1)-th byte: an illegal one there rules out every
// run starting in the block before it. A legal one is walked back to its
// run's start and the run is then counted byte by byte, as the rule reads.
// Each byte is read at most twice; random bytes are mostly skipped.
Base64Candidate Base64Finder::next(uint64_t from) {
  const std::string_view b = data_.view();
  const uint64_t kw = keyword_.next(from);
  const uint64_t end = kw == npos ? limit_ : kw;
  uint64_t p = from;
  while (p + kMinBlock < end) {
    const uint64_t q = p + kMinBlock;
    if (!legal(q)) {
      p = q + 1;
      continue;
    }
    uint64_t s = q;
    while (s > p && legal(s - 1)) --s;
    uint64_t r = 0, k = 0, i = s;
    while (i < end) {
      // Between line breaks only the length grows: the run is found where
      // it passes kMinBlock bytes, if its line count allows.
      const uint64_t j = LegalBase64End(b, i, end, true);
      const bool linesAllow = k >= kMinRunLines && k <= kMaxRunLines;
      if (linesAllow) {
        const uint64_t at = i + (r > kMinBlock ? 0 : kMinBlock + 1 - r);
        if (at < j) return {at, r + (at - i), s};
      }
      r += j - i;
      i = j;
      if (i == end) break;
      if (linesAllow && r > kMinBlock) return {i, r, s};
      if (!(kFinderClass[static_cast<uint8_t>(b[i])] & kLegal)) break;
      ++r;
      // A line counts only when the run is longer than 32 bytes per line
      // already counted, so short lines of letters and spaces do not pass.
      if (r > 32 * k + 1) ++k;
      ++i;
    }
    if (i == end) return kw == npos ? Base64Candidate{} : Base64Candidate{kw, r, s};
    p = i + 1;
  }
  if (kw == npos) return {};
  // No long run reaches the keyword; the run just before it is short.
  uint64_t s = kw;
  while (s > p && legal(s - 1)) --s;
  return {kw, kw - s, s};
}

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back(i + 2 < bytes.size() ? kAlphabet[v & 63] : '=');
  }
  return out;
}

Buffer Base64Decode(const Buffer& data) {
  const std::string_view in = data.view();
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int group = 0;
  DecodeGroups(in, out, acc, group);
  size_t n = out.size();
  // Padding: the "=" among the last three data characters, wherever line
  // breaks or a boundary put them.
  int seen = 0, pads = 0;
  for (size_t i = in.size(); i > 0 && seen < 3; --i) {
    const auto c = static_cast<uint8_t>(in[i - 1]);
    if (!IsBase64(c)) continue;
    ++seen;
    if (c == '=') ++pads;
  }
  if (pads == 1 || pads == 2) n -= std::min<size_t>(n, static_cast<size_t>(pads));
  out.resize(n);
  return Buffer(std::move(out));
}

std::optional<std::string> ISOClean(std::optional<std::string> text) {
  if (text && (text->starts_with("=?iso-8859-1?") || text->starts_with("=?ISO-8859-1?")))
    text->erase(0, 13);
  return text;
}

// Lines, one after another:
//
//   before the data --blank line--> before the data
//   before the data --text line--> fails (passed over when skipLeadingText)
//   before the data --data line--> in the data (its width is the width)
//   in the data --line of the width--> in the data
//   in the data --shorter or padded line--> after the data
//   in the data --wider line--> fails
//   in the data or after it --blank line--> done
//   after the data --any other line--> fails
//
// With skipLeadingText, data too short to be a run's block is text, not
// data: where it would end or fail, the walk starts again before the data.
// The block's last line, cut by the byte that ended the block, ends the
// walk; inside the data it must hold nothing before that byte.
std::optional<Buffer> DecodeCleanBase64(const Buffer& b, uint64_t from, uint64_t end,
                                        bool skipLeadingText) {
  end = std::min(end, b.size());
  enum class State { kBefore, kData, kAfter } state = State::kBefore;
  uint64_t width = 0, count = 0, pads = 0, dataBegin = 0, dataEnd = 0;
  auto add = [&](const LineLook& look, uint64_t p, uint64_t lineEnd) {
    if (state == State::kBefore) {
      width = look.width;
      count = 0;
      dataBegin = p;
    }
    count += look.width;
    pads = look.pads;
    dataEnd = lineEnd;
    state = pads > 0 || look.width < width ? State::kAfter : State::kData;
  };
  // Short data that a run's leading text may hold ("endobj", a word).
  auto leadingText = [&] { return skipLeadingText && count <= kMinBlock; };
  bool done = false;
  for (uint64_t p = from; p < end && !done;) {
    const uint64_t lf = b.find('\n', p, end);
    const uint64_t lineEnd = lf == npos ? end : lf;
    if (lf == npos && !gIsLegalBase64[b.u8(end - 1)]) {
      if (state == State::kData && LookAtLine(b.view(p, end - 1 - p)).kind != LineKind::kBlank)
        return std::nullopt;
      break;
    }
    const LineLook look = LookAtLine(b.view(p, lineEnd - p));
    if (state != State::kBefore && look.kind != LineKind::kBlank &&
        !(state == State::kData && look.kind == LineKind::kData && look.width <= width)) {
      // Anything but more data of the width, or a blank line, after data.
      if (!leadingText()) return std::nullopt;
      state = State::kBefore;
    }
    switch (state) {
      case State::kBefore:
        if (look.kind == LineKind::kData)
          add(look, p, lineEnd);
        else if (look.kind == LineKind::kOther && !skipLeadingText)
          return std::nullopt;
        break;
      case State::kData:
        if (look.kind == LineKind::kBlank) {
          if (leadingText())
            state = State::kBefore;
          else
            done = true;
        } else {
          add(look, p, lineEnd);
        }
        break;
      case State::kAfter:  // a blank line
        if (leadingText())
          state = State::kBefore;
        else
          done = true;
        break;
    }
    p = lf == npos ? end : lf + 1;
  }
  if (state == State::kBefore || leadingText()) return std::nullopt;
  // Padding makes whole groups; without it a group of two or three
  // characters carries one or two bytes, and one character none.
  if (pads > 0 ? count % 4 != 0 : count % 4 == 1) return std::nullopt;
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int group = 0;
  DecodeGroups(b.view(dataBegin, dataEnd - dataBegin), out, acc, group);
  if (group == 2) out.push_back(static_cast<uint8_t>(acc >> 4));
  if (group == 3) {
    out.push_back(static_cast<uint8_t>(acc >> 10));
    out.push_back(static_cast<uint8_t>(acc >> 2));
  }
  out.resize(out.size() - std::min<size_t>(out.size(), pads));
  return Buffer(std::move(out));
}

namespace {

// Where one decoded attachment goes: the store, under the name its header
// gave it, and with extended detection back through the dispatcher.
class AttachmentReporter {
 public:
  AttachmentReporter(ScanContext& context, const Buffer& data) : context_(context), data_(data) {}
  int32_t count() const { return count_; }

  // The classic naming: the header field's text less its extension, and
  // the type from the decoded bytes unless the name has two extensions.
  void classic(Buffer decoded, std::optional<std::string> name, uint64_t offset) {
    decoded = decoded.decodedFrom(data_, Decoder(DecoderId::kBase64).key, offset);
    std::optional<std::string> base, ext;
    if (name) {
      ext = PathExtension(*name);
      base = DeletingPathExtension(*name);
    }
    base = ISOClean(std::move(base));
    int32_t number = 0;
    if (!base) {
      base = "Strell";
      number = unnamed_++;
    }
    // A name's own extension counts only behind a second one (a.tar.gz);
    // otherwise the decoded bytes say what the file is.
    if (PathExtension(*base).empty()) ext = GuessExtension(decoded);
    ++count_;
    context_.saveStrell(decoded, 0, decoded.size(), ext.value_or(""), *base, number,
                        ItemEnd::kDecoded);
    context_.writeFoundFiles();
  }

  // The extended naming: the header's whole name, its extension kept when
  // the bytes agree with it or say nothing; then the bytes are scanned
  // again as a file of their own.
  void extended(Buffer bytes, std::string name, DecoderId decoder, uint64_t offset) {
    DecodedChild child{std::move(bytes), decoder, offset};
    context_.markChild(data_, child);
    const Buffer& decoded = child.bytes;
    // Mail programs send paths too (C:\Users\me\a.pdf): the file's
    // own name is the last component, with either separator.
    if (const size_t cut = name.find_last_of("/\\"); cut != std::string::npos)
      name.erase(0, cut + 1);
    if (name == "." || name == "..") name.clear();
    const std::string guessed = GuessExtension(decoded);
    std::string original, type = guessed;
    int32_t number = 0;
    if (name.empty()) {
      original = "Strell";
      number = unnamed_++;
    } else {
      std::string base = name, ext = PathExtension(name);
      if (UsableExtension(ext))
        base = DeletingPathExtension(name);
      else
        ext.clear();
      if (!ext.empty() && (guessed.empty() || ExtensionAgrees(ext, guessed))) type = ext;
      // The store takes one extension off the name it is given: this one.
      original = base + "." + type;
    }
    ++count_;
    context_.saveStrell(decoded, 0, decoded.size(), type, original, number, ItemEnd::kDecoded);
    context_.writeFoundFiles();
    if (const ChildOutcome scanned = context_.scanChild(data_, child, original);
        scanned.scan != ChildScan::kTooDeep) {
      count_ += scanned.items;
      context_.writeFoundFiles();
    }
  }

 private:
  ScanContext& context_;
  const Buffer& data_;
  int32_t count_ = 0;
  int32_t unnamed_ = 0;
};

}  // namespace

int32_t strellBase64(ScanContext& context, const Buffer& data, const std::string&) {
  const uint64_t n = data.size();
  if (n <= kMinBuffer) return 0;
  const std::string_view b = data.view();
  const uint64_t limit = n - 8;
  const bool extended = context.extended();

  RememberedSearch filenames([&](uint64_t from) { return data.find("filename"sv, from, n - 10); });
  RememberedSearch descriptions(
      [&](uint64_t from) { return data.find("cription"sv, from, limit); });
  RememberedSearch locations([&](uint64_t from) { return data.find("Location"sv, from, limit); });
  // The line feed that ends a header block: a blank line follows it.
  RememberedSearch blankLines([&](uint64_t from) {
    for (uint64_t q = data.find('\n', from, limit); q != npos; q = data.find('\n', q + 1, limit))
      if (BlankLineAt(data, q + 1, nullptr)) return q;
    return npos;
  });

  AttachmentReporter reporter(context, data);
  uint64_t position = 0;

  // A keyword candidate: the part's header block around it, and the body
  // after the blank line that ends the block. Returns where the search goes
  // on: the end of the body measured, or past the keyword when the header
  // block never ends.
  auto keywordPart = [&](uint64_t i) -> uint64_t {
    const uint64_t q = blankLines.next(i);
    if (q == npos) return i + 6;
    const uint64_t blockStart = HeaderBlockStart(data, i, position);
    const std::string_view block = data.view(blockStart, q - blockStart);
    uint64_t start = 0;
    BlankLineAt(data, q + 1, &start);
    const std::string encoding = TransferEncoding(block);
    // Another encoding named in the part's own header: its body is not
    // Base64 whatever it looks like (quoted-printable above all).
    if (!encoding.empty() && encoding != "base64") return start;

    std::optional<std::string> classicName;
    std::string name;
    if (extended) {
      const PartHeader header = ReadPartHeader(block);
      for (const std::string* field :
           {&header.filename, &header.name, &header.description, &header.location})
        if (name.empty()) name = *field;
    } else {
      // The fields in the order filename, Content-Description,
      // Content-Location, wherever they stand in the block.
      if (const uint64_t f = filenames.next(blockStart); f != npos && f < q) {
        uint64_t v = f + 9;
        if (data.u8(v) == '"') ++v;
        classicName = HeaderValue(data, v, n - 10, true);
      }
      if (!classicName) {
        if (const uint64_t f = descriptions.next(blockStart); f != npos && f < q)
          classicName = HeaderValue(data, f + 10, limit, false);
      }
      if (!classicName) {
        if (const uint64_t f = locations.next(blockStart); f != npos && f < q)
          classicName = HeaderValue(data, f + 10, limit, false);
      }
    }

    // The block runs over legal bytes and takes in the first byte that is not.
    uint64_t end = LegalBase64End(b, std::min(start, n), n, false);
    if (end < n) ++end;
    const uint64_t length = end - std::min(start, end);
    // With extended detection a part that says it is a Base64 file is
    // decoded however small.
    const bool namedFile = extended && encoding == "base64" && !name.empty();
    if (length <= kMinBlock && !namedFile) return end;
    if (std::optional<Buffer> decoded = DecodeCleanBase64(data, start, end, false);
        decoded && !decoded->empty()) {
      if (extended)
        reporter.extended(std::move(*decoded), name, DecoderId::kBase64, start);
      else
        reporter.classic(std::move(*decoded), classicName, start);
    }
    return end;
  };

  // A long run of legal bytes, with or without a keyword inside: decoded
  // from its first clean line.
  auto runPart = [&](const Base64Candidate& found) -> uint64_t {
    uint64_t end = LegalBase64End(b, std::min(found.at, n), n, false);
    if (end < n) ++end;
    if (std::optional<Buffer> decoded = DecodeCleanBase64(data, found.runStart, end, true);
        decoded && !decoded->empty()) {
      if (extended)
        reporter.extended(std::move(*decoded), "", DecoderId::kBase64, found.runStart);
      else
        reporter.classic(std::move(*decoded), std::nullopt, found.runStart);
    }
    return end;
  };

  // Each kind of candidate is searched for again only once the search has
  // passed the last one found.
  Base64Finder finder(data, limit);
  Base64Candidate base64;
  bool base64Known = false;
  uint64_t uu = npos, yenc = npos;
  bool uuKnown = false, yencKnown = false;
  auto firstByte = [](const Base64Candidate& c) {
    return c.runLength > kMinBlock - 1 ? std::min(c.runStart, c.at) : c.at;
  };
  while (position < limit && !context.stopStreller()) {
    if (!base64Known || (base64.at != npos && firstByte(base64) < position)) {
      base64 = finder.next(position);
      base64Known = true;
    }
    if (extended) {
      if (!uuKnown || (uu != npos && uu < position)) {
        uu = FindUuencodeBegin(data, position);
        uuKnown = true;
      }
      if (!yencKnown || (yenc != npos && yenc < position)) {
        yenc = FindYencBegin(data, position);
        yencKnown = true;
      }
    }
    const uint64_t at = base64.at == npos ? npos : firstByte(base64);
    if (at == npos && uu == npos && yenc == npos) break;
    const int32_t before = reporter.count();
    if (uu != npos && uu <= at && uu <= yenc) {
      if (std::optional<DecodedPart> part = DecodeUuencode(data, uu)) {
        reporter.extended(std::move(part->decoded), part->name, DecoderId::kUuencode, part->body);
        position = part->end;
      } else {
        position = uu + 6;
      }
    } else if (yenc != npos && yenc <= at) {
      if (std::optional<DecodedPart> part = DecodeYenc(data, yenc)) {
        reporter.extended(std::move(part->decoded), part->name, DecoderId::kYenc, part->body);
        position = part->end;
      } else {
        position = yenc + 8;
      }
    } else {
      position = std::max(position + 1, base64.runLength > kMinBlock - 1 ? runPart(base64)
                                                                         : keywordPart(base64.at));
    }
    if (n > kProgressSize && reporter.count() != before)
      context.progressFromThread(
          context.strelledBytes() +
          static_cast<double>(position / static_cast<uint64_t>(context.fileTypeCount())));
  }
  return reporter.count();
}

std::optional<Buffer> DecodeBase64At(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  const uint64_t n = data.size();
  if (offset >= n) return std::nullopt;
  const uint64_t end = LegalBase64End(data.view(), offset, n, false);
  // Four characters give at most three bytes.
  if ((end - offset) / 4 > maxOutput / 3) return std::nullopt;
  std::optional<Buffer> decoded = DecodeCleanBase64(data, offset, end, true);
  if (!decoded || decoded->empty()) return std::nullopt;
  return decoded;
}

}  // namespace strellbox
