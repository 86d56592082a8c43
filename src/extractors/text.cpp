// Text extractors: complete HTML documents named after their titles, and
// the readable text of a whole buffer.
#include "extractors/text.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

#include "engine/classify.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/pattern_search.h"

namespace strellbox {

namespace {

using namespace std::string_view_literals;

constexpr uint64_t npos = Buffer::npos;

// --- The word filter ---------------------------------------------------------

// What a byte is to the word filter; one table lookup per byte.
enum TextKind : uint8_t {
  kSeparator,  // space, tab, line feed, carriage return, zero: ends a word
  kControl,    // any other byte below 0x20: the word so far is noise
  kLower,
  kUpper,
  kDigit,
  kOther,  // punctuation and symbols, 0x7F included
  kHigh,   // 0x80 and above
};

constexpr TextKind KindOf(uint8_t c) {
  if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == 0) return kSeparator;
  if (c < 0x20) return kControl;
  if (c >= 'a' && c <= 'z') return kLower;
  if (c >= 'A' && c <= 'Z') return kUpper;
  if (c >= '0' && c <= '9') return kDigit;
  if (c >= 0x80) return kHigh;
  return kOther;
}

constexpr std::array<TextKind, 256> MakeTextKindTable() {
  std::array<TextKind, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = KindOf(static_cast<uint8_t>(c));
  return t;
}
constexpr std::array<TextKind, 256> gTextKind = MakeTextKindTable();

// Bytes the 8-bit filter keeps: legal text and everything from 0x80 up.
constexpr std::array<bool, 256> MakeEightBitTable() {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = gIsLegalASCII[c] || c >= 0x80;
  return t;
}
constexpr std::array<bool, 256> kKeepsEightBit = MakeEightBitTable();

// The longest word gathered; a longer one is cut and the rest starts anew.
constexpr int32_t kMaxWord = 256;
// Kept words further apart than this in the input get a line break between.
constexpr uint64_t kGapForLineBreak = 64;
// Longer words are judged by their share of high bytes alone.
constexpr int32_t kLongWord = 60;

// Which kinds of byte a word holds, and how many lower-case letters and
// high bytes; kept in registers while the word is gathered.
struct WordClasses {
  uint32_t present = 0;
  int32_t lower = 0;
  int32_t high = 0;
  void add(TextKind k) {
    present |= 1u << k;
    lower += k == kLower;
    high += k == kHigh;
  }
  bool has(TextKind k) const { return present & (1u << k); }
};

bool ClassesMakeSense(const WordClasses& c, int32_t w, float s) {
  if (c.high == 0 && w > 4) return true;
  if (w <= 3 && c.high > 0 && s < 0.5) return false;
  if (w <= 2 && s < 0.5) return false;
  int32_t kinds = c.has(kLower) + c.has(kUpper) + c.has(kDigit) + c.has(kOther);
  if (2 * c.high > c.lower) kinds = 4;
  if (s < 0.5 && w <= 9) {
    ++kinds;
    if (c.has(kOther)) ++kinds;
  }
  return kinds <= 3;
}

// Single-precision arithmetic of the text score: each product or sum is
// worked in double precision and stored in single.
float Scaled(float s, double factor) { return static_cast<float>(static_cast<double>(s) * factor); }

// --- HTML --------------------------------------------------------------------

// A tag in the two spellings it is recognised in, and the pattern of both
// (byte by byte, either spelling's byte), which finds its candidates.
struct Tag {
  std::string_view upper, lower;
  BytePattern pattern;
};
constexpr Tag kHTMLStart{"<HTML", "<html", BytePattern({"<", "Hh", "Tt", "Mm", "Ll"})};
constexpr Tag kHTMLEnd{"</HTML>", "</html>", BytePattern({"<", "/", "Hh", "Tt", "Mm", "Ll", ">"})};
constexpr Tag kTitleStart{"<TITLE>", "<title>",
                          BytePattern({"<", "Tt", "Ii", "Tt", "Ll", "Ee", ">"})};
constexpr Tag kTitleEnd{"</TITLE", "</title",
                        BytePattern({"<", "/", "Tt", "Ii", "Tt", "Ll", "Ee"})};

// The first p with from <= p < limit where the tag begins in one of its
// two spellings.
uint64_t FindTag(const Buffer& b, uint64_t from, uint64_t limit, const Tag& tag) {
  for (uint64_t p = tag.pattern.find(b, from, limit); p != npos;
       p = tag.pattern.find(b, p + 1, limit))
    if (b.startsWith(p, tag.upper) || b.startsWith(p, tag.lower)) return p;
  return npos;
}

// How far back from the start tag a document-type line may begin.
constexpr uint64_t kDoctypeLookBack = 127;
constexpr std::string_view kDoctype = "<!DOC";
// The title is looked for within this many bytes of the document's start.
constexpr uint64_t kTitleWindow = 1024;
// Bytes of a title kept for the name.
constexpr size_t kMaxTitle = 64;

// --- UTF-8 -------------------------------------------------------------------

// Length of the well-formed UTF-8 sequence at p, or 0 when there is none;
// `cut` is set when the bytes end inside an otherwise good sequence.
size_t Utf8SequenceAt(std::string_view s, size_t p, bool& cut) {
  const auto c = static_cast<uint8_t>(s[p]);
  size_t len;
  uint8_t lo = 0x80, hi = 0xBF;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    if (p + k >= s.size()) {
      cut = true;
      return 0;
    }
    const auto d = static_cast<uint8_t>(s[p + k]);
    if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) return 0;
  }
  return len;
}

}  // namespace

std::string EightBitText(std::string_view bytes) {
  bool multibyte = false;
  for (size_t p = 0; p < bytes.size();) {
    bool cut = false;
    const size_t len = Utf8SequenceAt(bytes, p, cut);
    // A title cut to its length can end inside a character; a lone lead
    // byte at the end of plain text is more likely a Latin-1 letter.
    if (cut && multibyte) return std::string(bytes.substr(0, p));
    if (len == 0 || cut) {
      // Not UTF-8: every byte is one Latin-1 character.
      std::string text;
      text.reserve(bytes.size() * 2);
      for (const char ch : bytes) {
        const auto c = static_cast<uint8_t>(ch);
        if (c < 0x80) {
          text.push_back(ch);
        } else {
          text.push_back(static_cast<char>(0xC0 | (c >> 6)));
          text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
      }
      return text;
    }
    multibyte = multibyte || len > 1;
    p += len;
  }
  return std::string(bytes);
}

bool WordMakesSense(std::span<const uint8_t> word, float textScore) {
  WordClasses classes;
  for (const uint8_t c : word) classes.add(gTextKind[c]);
  return ClassesMakeSense(classes, static_cast<int32_t>(word.size()), textScore);
}

namespace {

// The 8-bit filter into `out`, whose storage is reused (it may already hold
// the pages of an earlier result).
int64_t EightBitInto(std::string_view in, std::vector<uint8_t>& out) {
  const size_t n = in.size();
  out.clear();
  out.reserve(n);
  int64_t dropped = 0;
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<uint8_t>(in[i]);
    if (kKeepsEightBit[c]) {
      out.push_back(c);
      continue;
    }
    ++dropped;
    // A zero between two kept bytes separates text, as in a list of strings.
    if (c == 0 && i > 0 && i + 1 < n && kKeepsEightBit[static_cast<uint8_t>(in[i - 1])] &&
        kKeepsEightBit[static_cast<uint8_t>(in[i + 1])])
      out.push_back('\n');
  }
  return dropped;
}

}  // namespace

Buffer ASCII8BitLegalize(const Buffer& data, int64_t* removed) {
  std::vector<uint8_t> out;
  const int64_t dropped = EightBitInto(data.view(), out);
  if (removed) *removed = dropped;
  return Buffer(std::move(out));
}

Buffer ASCIILegalize2(const Buffer& data, int64_t* removed) {
  const std::string_view in = data.view();
  const uint64_t n = in.size();
  // Every word byte and separator written stands for one input byte; a line
  // break for a gap can come on top, at most one per 65 input bytes, since
  // each follows more than 64 bytes after the previous kept word.
  // Reserved once: the vector never moves.
  std::vector<uint8_t> out;
  out.reserve(n + n / 64 + 2);
  auto put = [&out](uint8_t c) { out.push_back(c); };

  float score = 1.0f;     // how much the recent input looked like text
  bool lastKept = false;  // the previous word was written
  uint64_t keptEnd = 0;   // input offset after the last written word
  std::array<uint8_t, kMaxWord> word;
  uint64_t i = 0;
  while (i < n) {
    int32_t w = 0;
    int32_t high = 0;  // high bytes gathered, also of discarded bytes
    WordClasses classes;
    while (i < n && w < kMaxWord) {
      const auto c = static_cast<uint8_t>(in[i]);
      const TextKind kind = gTextKind[c];
      if (kind == kSeparator) break;
      if (kind == kControl) {
        if (w > 3) score = Scaled(score, 0.9);
        ++i;
        w = 0;
        classes = {};
        continue;
      }
      word[static_cast<size_t>(w++)] = c;
      classes.add(kind);
      high += kind == kHigh;
      ++i;
      // Text of two bytes per character: step over the zero half.
      if (i + 2 < n && in[i] == 0 &&
          ((static_cast<uint8_t>(in[i + 1]) > 0x1F && in[i + 2] == 0) ||
           (i > 1 && static_cast<uint8_t>(in[i - 1]) > 0x1F && in[i - 2] == 0)))
        ++i;
    }

    float wordScore;
    if (w > kLongWord)
      wordScore = (high < w / 5 && score > 0.5) ? 0.4f : 0.0f;
    else if (w >= 2)
      wordScore = (high < w / 2 && ClassesMakeSense(classes, w, score)) ? 1.0f : 0.0f;
    else if (w == 1)
      wordScore = (high == 0 && score > 0.5) ? Scaled(score, 0.9) : 0.0f;
    else
      wordScore = Scaled(score, 0.99);
    score =
        static_cast<float>(static_cast<double>(score) * 0.9 + static_cast<double>(wordScore) * 0.1);

    const bool keep = wordScore > 0.5;
    if (keep) {
      if (w > 0) {
        if (i - static_cast<uint64_t>(w) > keptEnd + kGapForLineBreak) put('\n');
        for (int32_t k = 0; k < w; ++k) put(word[static_cast<size_t>(k)]);
        keptEnd = i;
      }
      if (w < kMaxWord && i < n && (lastKept || w > 0)) {
        const auto sep = static_cast<uint8_t>(in[i]);
        put(sep == 0 ? ' ' : sep);
      }
    }
    if (w > 0) lastKept = keep;
    ++i;  // past the separator (or, after a cut word, past one more byte)
  }

  const uint64_t m = out.size();
  if (static_cast<double>(m) > 0.95 * static_cast<double>(n)) {
    // Text already: keep it whole, 8-bit characters included.
    const int64_t dropped = EightBitInto(in, out);
    if (removed) *removed = dropped;
    return Buffer(std::move(out));
  }
  if (removed) *removed = static_cast<int64_t>(n - m);
  return Buffer(std::move(out));
}

int32_t strellASCII(ScanContext& context, const Buffer& data, const std::string& from) {
  int64_t removed = 0;
  const Buffer text = ASCIILegalize2(data, &removed).decodedFrom(data, "text", 0);
  if (text.empty()) return 0;
  const float share =
      100.0f - static_cast<float>(removed) * 100.0f / static_cast<float>(data.size());
  auto kept = static_cast<int32_t>(share);
  if (kept == 0) kept = 1;
  if (kept == 100 && removed > 0) kept = 99;
  const std::string name =
      fmt::format("{}({}% copy)", DeletingPathExtension(LastPathComponent(from)), kept);
  context.saveStrell(text, 0, text.size(), "txt", name, 1);
  return 1;
}

int32_t strellHTML(ScanContext& context, const Buffer& data, const std::string& from) {
  const uint64_t n = data.size();
  if (n <= 100) return 0;
  int32_t count = 0;
  uint64_t i = 0;
  std::string source = from;
  uint64_t doctype = npos;  // the last document-type line found so far
  uint64_t searched = 0;    // where the search for them goes on
  while (i < n - 6 && !context.stopStreller()) {
    const uint64_t p = FindTag(data, i, n - 6, kHTMLStart);
    if (p == npos) break;
    // The document starts at the last document-type line within reach
    // before the tag. The search runs forward over the bytes not searched
    // yet and remembers the last one found, so that documents close
    // together do not read the same bytes again.
    const uint64_t lowest = p > kDoctypeLookBack ? p - kDoctypeLookBack : 0;
    for (uint64_t k = data.find(kDoctype, std::max(searched, lowest), p + 1); k != npos;
         k = data.find(kDoctype, k + 1, p + 1))
      doctype = k;
    searched = p + 1;
    const uint64_t start = doctype != npos && doctype >= lowest ? doctype : p;
    const uint64_t q = FindTag(data, p, n - 6, kHTMLEnd);
    if (q == npos) break;  // no end: nothing partial is reported
    const uint64_t end = q + 7;
    const uint64_t length = end - start;

    const uint64_t window = std::min(start + kTitleWindow, end);
    if (const uint64_t t = FindTag(data, start, window, kTitleStart); t != npos) {
      if (const uint64_t u = FindTag(data, t + 7, window, kTitleEnd); u != npos) {
        std::string title;
        for (uint64_t k = t + 7; k < u && title.size() < kMaxTitle; ++k) {
          const uint8_t c = data.u8(k);
          if (c > 0x1F && c != ':' && c != '/') title.push_back(static_cast<char>(c));
        }
        // Later documents without a title of their own keep this name.
        if (!title.empty()) source = EightBitText(title);
      }
    }

    if (start == 0 && length > n - 8) context.setAtomicFileFound(true);
    context.saveStrell(data, start, length, "html", source, count);
    ++count;
    i = end;
  }
  return count;
}

}  // namespace strellbox
