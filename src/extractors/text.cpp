// Text extractors: complete HTML documents named after their titles, and
// the readable text of a whole buffer.
#include "extractors/text.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/carve.h"
#include "engine/classify.h"
#include "engine/decoder_table.h"
#include "engine/log.h"
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "engine/staging_file.h"
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

// The score after a word: nine tenths of the score before and a tenth of
// the word's. In a long run of zeros or noise it sinks towards the smallest
// denormal, where it stays, and arithmetic on denormals is many times
// slower: a score below 2^-60 is taken as 0. That changes nothing the
// filter decides: the score is only ever compared with 0.5, a word's score
// is 0, 0.4, 1 or the score scaled, and a tenth of 0.4 or 1 added to nine
// tenths of a score below 2^-60 is the same double as without it.
float NextScore(float score, float wordScore) {
  const auto next =
      static_cast<float>(static_cast<double>(score) * 0.9 + static_cast<double>(wordScore) * 0.1);
  return next < 0x1p-60f ? 0.0f : next;
}

size_t Utf8SequenceAt(std::string_view s, size_t p, bool& cut);

// With extended detection words are gathered up to this many bytes, so
// that long URLs and unspaced text in other scripts stay whole.
constexpr int32_t kMaxWordExtended = 1024;

// How many bytes at the end of a cut word belong to a character that goes
// on past the cut (0 when the word ends at a character boundary).
int32_t CutCharacterBytes(std::span<const uint8_t> word) {
  const auto w = static_cast<int32_t>(word.size());
  for (int32_t k = w - 1; k >= 0 && k >= w - 3; --k) {
    const uint8_t c = word[static_cast<size_t>(k)];
    if ((c & 0xC0) == 0x80) continue;
    const int32_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return length > w - k ? w - k : 0;
  }
  return 0;
}

// Punctuation that separates the parts of URLs and paths.
constexpr std::string_view kPathPunctuation = "/\\.:?&#%@~-_";
// A long word reads as a URL or path with at least one such byte per this
// many bytes, of at least two kinds (Base64 lines have only "/" and "+").
constexpr int32_t kBytesPerPathPunctuation = 24;

// The extended filter's score for words the classic one cannot read: UTF-8
// text (letters of other scripts count as letters, judged per character)
// and long words that are URLs, paths or script text. Nothing for the
// words the classic rules judge alike.
std::optional<float> ExtendedWordScore(std::span<const uint8_t> word, int32_t high, float score) {
  const auto w = static_cast<int32_t>(word.size());
  if (high == 0 && w <= kLongWord) return std::nullopt;
  // Characters of the word when it is well-formed UTF-8.
  int32_t characters = 0, multibyte = 0;
  bool utf8 = true;
  for (size_t p = 0; p < word.size() && utf8;) {
    bool cutShort = false;
    const size_t length = Utf8SequenceAt(
        std::string_view(reinterpret_cast<const char*>(word.data()), word.size()), p, cutShort);
    if (length == 0) {
      utf8 = false;
      break;
    }
    ++characters;
    multibyte += length > 1;
    p += length;
  }
  if (!utf8) return std::nullopt;
  if (characters > kLongWord) {
    if (2 * multibyte >= characters) return 1.0f;  // text in another script
    if (multibyte > 0) return 0.0f;
    int32_t marks = 0;
    uint32_t kinds = 0;
    for (const uint8_t c : word) {
      const size_t k = kPathPunctuation.find(static_cast<char>(c));
      if (k == std::string_view::npos) continue;
      ++marks;
      kinds |= 1u << k;
    }
    const bool path = std::popcount(kinds) >= 2 && marks * kBytesPerPathPunctuation >= w;
    return path ? 1.0f : 0.0f;
  }
  // Judged as the classic filter judges a word, each character of another
  // script as a letter.
  WordClasses classes;
  for (const uint8_t c : word) {
    if ((c & 0xC0) == 0x80) continue;
    classes.add(c >= 0x80 ? kLower : gTextKind[c]);
  }
  if (characters == 1) return score > 0.5f ? Scaled(score, 0.9) : 0.0f;
  return ClassesMakeSense(classes, characters, score) ? 1.0f : 0.0f;
}

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
// two spellings, or (anyCase) in any mix of cases.
uint64_t FindTag(const Buffer& b, uint64_t from, uint64_t limit, const Tag& tag,
                 bool anyCase = false) {
  for (uint64_t p = tag.pattern.find(b, from, limit); p != npos;
       p = tag.pattern.find(b, p + 1, limit))
    if (anyCase || b.startsWith(p, tag.upper) || b.startsWith(p, tag.lower)) return p;
  return npos;
}

// The start tag as extended detection reads it: any case, and a whole tag
// name ("<html>", "<html lang=...>", not "<htmlx").
uint64_t FindStartAnyCase(const Buffer& b, uint64_t from, uint64_t limit) {
  for (uint64_t p = FindTag(b, from, limit, kHTMLStart, true); p != npos;
       p = FindTag(b, p + 1, limit, kHTMLStart, true)) {
    const uint8_t c = b.u8(p + 5);
    if (c == '>' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/') return p;
  }
  return npos;
}

constexpr BytePattern kDoctypeAnyCase({"<", "!", "Dd", "Oo", "Cc", "Tt", "Yy", "Pp"});
// An XHTML document's prolog may stand this far before its document type
// or start tag ("<?xml version="1.0" encoding="..." standalone="..."?>").
constexpr uint64_t kPrologLookBack = 256;

// How far back from the start tag a document-type line may begin.
constexpr uint64_t kDoctypeLookBack = 127;
constexpr std::string_view kDoctype = "<!DOC";
// The title is looked for within this many bytes of the document's start.
constexpr uint64_t kTitleWindow = 1024;
// Bytes of a title kept for the name.
constexpr size_t kMaxTitle = 64;

// Character references of titles: the markup's own, and the named ones
// that titles use most.
struct NamedEntity {
  std::string_view name, text;
};
constexpr NamedEntity kEntities[] = {
    {"amp", "&"},         {"lt", "<"},          {"gt", ">"},          {"quot", "\""},
    {"apos", "'"},        {"nbsp", " "},        {"copy", "\u00A9"},   {"reg", "\u00AE"},
    {"trade", "\u2122"},  {"ndash", "\u2013"},  {"mdash", "\u2014"},  {"hellip", "\u2026"},
    {"laquo", "\u00AB"},  {"raquo", "\u00BB"},  {"lsquo", "\u2018"},  {"rsquo", "\u2019"},
    {"ldquo", "\u201C"},  {"rdquo", "\u201D"},  {"euro", "\u20AC"},   {"middot", "\u00B7"},
    {"eacute", "\u00E9"}, {"egrave", "\u00E8"}, {"agrave", "\u00E0"}, {"auml", "\u00E4"},
    {"ouml", "\u00F6"},   {"uuml", "\u00FC"},   {"Auml", "\u00C4"},   {"Ouml", "\u00D6"},
    {"Uuml", "\u00DC"},   {"szlig", "\u00DF"},  {"ccedil", "\u00E7"}, {"ntilde", "\u00F1"},
};
// The longest reference read: "&#x10FFFF;" and the names above fit.
constexpr size_t kMaxReference = 10;

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// UTF-8 text with its character references replaced; a reference that is
// none ("AT&T", "&#xZZ;") stays as it stands.
std::string DecodeEntities(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const size_t semi = text[i] == '&' ? text.find(';', i + 1) : std::string_view::npos;
    if (semi == std::string_view::npos || semi - i - 1 > kMaxReference || semi == i + 1) {
      out.push_back(text[i]);
      continue;
    }
    const std::string_view ref = text.substr(i + 1, semi - i - 1);
    bool done = false;
    if (ref[0] == '#') {
      const bool hex = ref.size() > 1 && (ref[1] == 'x' || ref[1] == 'X');
      const std::string_view digits = ref.substr(hex ? 2 : 1);
      uint32_t cp = 0;
      bool ok = !digits.empty();
      for (const char c : digits) {
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0 || cp > 0x10FFFF) {
          ok = false;
          break;
        }
        cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
      }
      if (ok) {
        // Nothing that is no character: NUL, surrogates, beyond Unicode.
        if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        AppendUtf8(out, cp);
        done = true;
      }
    } else {
      for (const NamedEntity& e : kEntities)
        if (e.name == ref) {
          out += e.text;
          done = true;
          break;
        }
    }
    if (done)
      i = semi;
    else
      out.push_back(text[i]);
  }
  return out;
}

// A title as extended detection names a document: references decoded,
// white space (line breaks included) folded into single spaces, without
// the ":" and "/" a file name cannot carry and without control characters,
// cut at a character boundary.
std::string ExtendedTitle(std::string_view raw) {
  const std::string decoded = DecodeEntities(EightBitText(raw));
  std::string title;
  bool space = false;
  for (const char ch : decoded) {
    const auto c = static_cast<uint8_t>(ch);
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      space = !title.empty();
      continue;
    }
    if (c < 0x20 || c == 0x7F || c == ':' || c == '/') continue;
    if (space) title.push_back(' ');
    space = false;
    title.push_back(ch);
  }
  return FitName(std::move(title), kMaxTitle);
}

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

// The 8-bit filter of in[from, to) appended to `out`.
int64_t EightBitInto(std::string_view in, size_t from, size_t to, std::vector<uint8_t>& out) {
  const size_t n = in.size();
  int64_t dropped = 0;
  for (size_t i = from; i < to; ++i) {
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
  out.reserve(data.size());
  const int64_t dropped = EightBitInto(data.view(), 0, data.size(), out);
  if (removed) *removed = dropped;
  return Buffer(std::move(out));
}

namespace {

// Where the word filter stands between two words: all it carries from the
// bytes before to the bytes after.
struct FilterState {
  float score = 1.0f;     // how much the recent input looked like text
  bool lastKept = false;  // the previous word was written
  uint64_t keptEnd = 0;   // input offset after the last written word
  uint64_t i = 0;         // where the next word starts
};

// One word of the word filter from `s.i`, and the separator after it:
// what is kept goes to `out`.
void FilterLongerWord(std::string_view in, bool extended, FilterState& s,
                      std::vector<uint8_t>& out) {
  const uint64_t n = in.size();
  const int32_t cap = extended ? kMaxWordExtended : kMaxWord;
  std::array<uint8_t, kMaxWordExtended> word;
  uint64_t& i = s.i;
  int32_t w = 0;
  int32_t high = 0;  // high bytes gathered, also of discarded bytes
  WordClasses classes;
  bool skippedZero = false;  // a zero half of a two-byte character was stepped over
  while (i < n && w < cap) {
    const auto c = static_cast<uint8_t>(in[i]);
    const TextKind kind = gTextKind[c];
    if (kind == kSeparator) break;
    if (kind == kControl) {
      if (w > 3) s.score = Scaled(s.score, 0.9);
      ++i;
      w = 0;
      classes = {};
      skippedZero = false;
      continue;
    }
    word[static_cast<size_t>(w++)] = c;
    classes.add(kind);
    high += kind == kHigh;
    ++i;
    // Text of two bytes per character: step over the zero half.
    if (i + 2 < n && in[i] == 0 &&
        ((static_cast<uint8_t>(in[i + 1]) > 0x1F && in[i + 2] == 0) ||
         (i > 1 && static_cast<uint8_t>(in[i - 1]) > 0x1F && in[i - 2] == 0))) {
      ++i;
      skippedZero = true;
    }
  }
  const bool cut = w == cap;
  if (cut && extended && !skippedZero) {
    // A word cut inside a character leaves that character to the next.
    const int32_t back = CutCharacterBytes({word.data(), static_cast<size_t>(w)});
    if (back > 0 && back < w) {
      w -= back;
      i -= static_cast<uint64_t>(back);
      classes = {};
      high = 0;
      for (int32_t k = 0; k < w; ++k) {
        classes.add(gTextKind[word[static_cast<size_t>(k)]]);
        high += gTextKind[word[static_cast<size_t>(k)]] == kHigh;
      }
    }
  }

  const float score = s.score;
  float wordScore;
  const std::optional<float> readable =
      extended ? ExtendedWordScore({word.data(), static_cast<size_t>(w)}, high, score)
               : std::nullopt;
  if (readable)
    wordScore = *readable;
  else if (w > kLongWord)
    wordScore = (high < w / 5 && score > 0.5) ? 0.4f : 0.0f;
  else if (w >= 2)
    wordScore = (high < w / 2 && ClassesMakeSense(classes, w, score)) ? 1.0f : 0.0f;
  else if (w == 1)
    wordScore = (high == 0 && score > 0.5) ? Scaled(score, 0.9) : 0.0f;
  else
    wordScore = Scaled(score, 0.99);
  s.score = NextScore(score, wordScore);

  const bool keep = wordScore > 0.5;
  if (keep) {
    if (w > 0) {
      if (i - static_cast<uint64_t>(w) > s.keptEnd + kGapForLineBreak) out.push_back('\n');
      for (int32_t k = 0; k < w; ++k) out.push_back(word[static_cast<size_t>(k)]);
      s.keptEnd = i;
    }
    if (!cut && i < n && (s.lastKept || w > 0)) {
      const auto sep = static_cast<uint8_t>(in[i]);
      out.push_back(sep == 0 ? ' ' : sep);
    }
  }
  if (w > 0) s.lastKept = keep;
  // Past the separator; after a cut word the classic filter steps over
  // one more byte, the extended one goes on with it.
  if (!(cut && extended)) ++i;
}

// As FilterLongerWord, which it calls unless a separator stands at `s.i`:
// then the word is empty, and what the filter does with it (the score sinks
// a little; the separator is kept after a kept word while the score is
// high) is done here, without the setup of a word. Runs of zeros in a disk
// image are one such word per byte.
inline void FilterWord(std::string_view in, bool extended, FilterState& s,
                       std::vector<uint8_t>& out) {
  const auto c = static_cast<uint8_t>(in[s.i]);
  if (gTextKind[c] != kSeparator) {
    FilterLongerWord(in, extended, s, out);
    return;
  }
  const float score = s.score;
  const float wordScore = Scaled(score, 0.99);
  s.score = NextScore(score, wordScore);
  if (wordScore > 0.5 && s.lastKept) out.push_back(c == 0 ? ' ' : c);
  ++s.i;
}

// The filter's state at a word's start in a page's run, and how much of
// the run's output came before it.
struct Checkpoint {
  FilterState state;
  uint64_t written;
};

// A page's words, filtered from a state guessed at its start: the words
// of the bytes before it set the true state, which this run meets after a
// few hundred words (at a separator its words start where the true run's
// do, and the score forgets a tenth of its past each word). From that
// word on, the run's output is the true one.
struct PageRun {
  std::vector<uint8_t> out;
  std::vector<Checkpoint> checkpoints;  // its first words'
  FilterState end;                      // at the first word start past the page
};

// Word starts remembered per page: each of its first words, then one word
// in every kCheckpointStep. Runs of prose can keep two scores a few units
// of the last place apart for good (0.9 s + 0.1 rounds back to s), so the
// true run may meet the page's run only at the next stretch of binary
// noise, where both scores sink to the same values.
constexpr size_t kDenseCheckpoints = 4096;
constexpr uint64_t kCheckpointStep = 64;
constexpr size_t kMaxCheckpoints = size_t{1} << 18;

PageRun RunPage(std::string_view in, bool extended, uint64_t from, uint64_t to) {
  PageRun run;
  run.out.reserve((to - from) + (to - from) / 64 + 2);
  run.end.i = from;
  for (uint64_t words = 0; run.end.i < to; ++words) {
    if (run.checkpoints.size() < kMaxCheckpoints &&
        (words < kDenseCheckpoints || words % kCheckpointStep == 0))
      run.checkpoints.push_back({run.end, run.out.size()});
    FilterWord(in, extended, run.end, run.out);
  }
  return run;
}

// Whether the true state and a page run's state give the same words from
// `at` on: the same score and last word, and a last kept word at the same
// place or, for both, too far back to matter for a line break again.
bool SameFrom(const FilterState& a, const FilterState& b, uint64_t at) {
  const bool farBack = a.keptEnd + kGapForLineBreak < at && b.keptEnd + kGapForLineBreak < at;
  return a.score == b.score && a.lastKept == b.lastKept && (a.keptEnd == b.keptEnd || farBack);
}

// The pages of one filtering, shared with the helper threads: claimed in
// order, at most kAhead beyond the one the calling thread takes on next.
struct TextPages {
  std::string_view in;
  bool extended;
  uint64_t page, pages;
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t claimed = 1, merged = 1;  // page 0 is the caller's own true run
  int running = 0;
  // Set once pages in a row gave nothing (text whose runs never meet): the
  // rest is the caller's alone, and no thread works for nothing.
  bool futile = false;
  bool finished = false;
  std::map<uint64_t, PageRun> done;
  static constexpr uint64_t kAhead = 4;

  uint64_t bound(uint64_t k) const { return std::min<uint64_t>(in.size(), k * page); }

  // A helper's share: pages ahead, until none is left (nothing once the
  // filtering has ended: a helper may start after it).
  void help() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [this] {
        return finished || futile || claimed >= pages || claimed < merged + kAhead;
      });
      if (finished || futile || claimed >= pages) return;
      runOne(lock);
    }
  }

  // Runs the next unclaimed page (the lock held on entry and on return).
  void runOne(std::unique_lock<std::mutex>& lock) {
    const uint64_t k = claimed++;
    ++running;
    lock.unlock();
    PageRun run = RunPage(in, extended, bound(k), bound(k + 1));
    lock.lock();
    --running;
    done.emplace(k, std::move(run));
    changed.notify_all();
  }
};

// Where the filters' output goes: memory, or for a long input an unlinked
// temporary file, a block at a time, so that the text of a disk image of
// any size costs no more memory than a block (the filters only append).
class TextOutput {
 public:
  TextOutput(uint64_t inputLength, uint64_t spillAbove)
      : spill_(inputLength > spillAbove),
        blockBytes_(std::clamp<uint64_t>(inputLength / 16, 4096, kBlock)) {
    // In memory, every word byte and separator written stands for one input
    // byte; a line break for a gap can come on top, at most one per 65
    // input bytes, since each follows more than 64 bytes after the
    // previous kept word. Reserved once: the vector never moves.
    block.reserve(spill_ ? blockBytes_ + kMaxWordExtended + 4
                         : inputLength + inputLength / 64 + 2);
  }

  // Appended to by the filters; flushed between words.
  std::vector<uint8_t> block;

  void flushIfFull() {
    if (spill_ && block.size() >= blockBytes_) flush();
  }
  uint64_t size() const { return (file_ ? file_->size() : 0) + block.size(); }
  // Drops everything written, to write the output again.
  void restart() {
    block.clear();
    file_.reset();
    failed_ = false;
  }
  // The whole output, or nothing when the temporary file failed.
  std::optional<Buffer> finish() {
    if (!spill_) return Buffer(std::move(block));
    flush();
    if (failed_) return std::nullopt;
    if (!file_) return Buffer();
    return file_->map();
  }

 private:
  // Blocks of a 16th of the input, 4 KiB to 8 MiB.
  static constexpr uint64_t kBlock = uint64_t{8} << 20;

  void flush() {
    if (block.empty() || failed_) return;
    if (!file_) file_ = std::make_unique<StagingFile>();
    failed_ = !file_->put({reinterpret_cast<const char*>(block.data()), block.size()});
    block.clear();
  }

  const bool spill_;
  const uint64_t blockBytes_;
  std::unique_ptr<StagingFile> file_;
  bool failed_ = false;
};

// The word filter over `in`, its pages on helper threads where there are
// any; the output is that of one run over all of it.
void FilterWords(std::string_view in, bool extended, const ScanHelpers& helpers,
                 uint64_t pageBytes, TextOutput& output) {
  const uint64_t n = in.size();
  std::vector<uint8_t>& out = output.block;
  FilterState t;
  if (!helpers || n <= pageBytes) {
    while (t.i < n) {
      FilterWord(in, extended, t, out);
      output.flushIfFull();
    }
    return;
  }
  auto shared = std::make_shared<TextPages>();
  TextPages& pages = *shared;
  pages.in = in;
  pages.extended = extended;
  pages.page = pageBytes;
  pages.pages = (n + pageBytes - 1) / pageBytes;
  helpers(static_cast<size_t>(pages.pages - 1), [shared] { shared->help(); });

  while (t.i < pages.bound(1)) {
    FilterWord(in, extended, t, out);
    output.flushIfFull();
  }
  constexpr int kMissesBeforeAlone = 2;
  int misses = 0;  // pages in a row whose run the true run did not meet
  std::unique_lock<std::mutex> lock(pages.mutex);
  while (pages.merged < pages.pages) {
    const uint64_t k = pages.merged;
    pages.changed.wait(lock, [&] {
      return pages.done.count(k) > 0 || pages.claimed <= k ||
             (!pages.futile && pages.claimed < pages.pages &&
              pages.claimed < pages.merged + TextPages::kAhead);
    });
    PageRun run;  // none: the true run filters the whole page
    bool guessed = false;
    if (pages.done.count(k) > 0) {
      run = std::move(pages.done.at(k));
      pages.done.erase(k);
      guessed = true;
    } else if (pages.claimed <= k) {
      pages.claimed = k + 1;  // nobody took it: no guess is needed
    } else {
      pages.runOne(lock);  // a page ahead, while another thread runs this one
      continue;
    }
    lock.unlock();
    // The true run goes on word by word until it meets the page's run.
    const uint64_t to = pages.bound(k + 1);
    size_t c = 0;
    bool met = false;
    while (t.i < to) {
      while (c < run.checkpoints.size() && run.checkpoints[c].state.i < t.i) ++c;
      if (c < run.checkpoints.size() && run.checkpoints[c].state.i == t.i &&
          SameFrom(run.checkpoints[c].state, t, t.i)) {
        out.insert(out.end(), run.out.begin() + static_cast<ptrdiff_t>(run.checkpoints[c].written),
                   run.out.end());
        t = run.end;
        met = true;
        break;
      }
      FilterWord(in, extended, t, out);
      output.flushIfFull();
    }
    output.flushIfFull();
    // A page nobody guessed says nothing of whether guesses meet.
    if (guessed) misses = met ? 0 : misses + 1;
    lock.lock();
    if (misses >= kMissesBeforeAlone) pages.futile = true;
    ++pages.merged;
    pages.changed.notify_all();
  }
  pages.finished = true;
  pages.changed.notify_all();
  pages.changed.wait(lock, [&] { return pages.running == 0; });
}

}  // namespace

Buffer ASCIILegalize2(const Buffer& data, int64_t* removed, bool extended,
                      const ScanHelpers& helpers, uint64_t pageBytes, uint64_t spillAbove) {
  const std::string_view in = data.view();
  const uint64_t n = in.size();
  TextOutput out(n, spillAbove);
  FilterWords(in, extended, helpers, pageBytes, out);
  const uint64_t m = out.size();
  int64_t dropped = static_cast<int64_t>(n - m);
  if (static_cast<double>(m) > 0.95 * static_cast<double>(n)) {
    // Text already: keep it whole, 8-bit characters included.
    out.restart();
    constexpr size_t kStep = size_t{1} << 20;
    dropped = 0;
    for (size_t from = 0; from < n; from += kStep) {
      dropped += EightBitInto(in, from, std::min<size_t>(n, from + kStep), out.block);
      out.flushIfFull();
    }
  }
  std::optional<Buffer> text = out.finish();
  if (!text) {
    StrellLog(fmt::format("The readable text of {} bytes could not be kept: the temporary folder "
                          "is missing or full",
                          n));
    if (removed) *removed = static_cast<int64_t>(n);
    return {};
  }
  if (removed) *removed = dropped;
  return std::move(*text);
}

int32_t strellASCII(ScanContext& context, const Buffer& data, const std::string& from) {
  int64_t removed = 0;
  const Buffer text = ASCIILegalize2(data, &removed, context.extended(), context.helpers())
                          .decodedFrom(data, Decoder(DecoderId::kText).key, 0);
  if (text.empty()) return 0;
  const float share =
      100.0f - static_cast<float>(removed) * 100.0f / static_cast<float>(data.size());
  auto kept = static_cast<int32_t>(share);
  if (kept == 0) kept = 1;
  if (kept == 100 && removed > 0) kept = 99;
  const std::string name =
      fmt::format("{}({}% copy)", DeletingPathExtension(LastPathComponent(from)), kept);
  context.saveStrell(text, 0, text.size(), "txt", name, 1, ItemEnd::kDecoded);
  return 1;
}

// HTML documents, one after another:
//
//   look for a start tag --found--> look for its end tag
//   look for its end tag --a later start tag that begins a document stands
//                          before it--> that tag is the start (the first
//                          document has no end and is not reported)
//   look for its end tag --found--> report, look for a start tag after it
//   look for its end tag --none--> done: no later start has an end either
int32_t strellHTML(ScanContext& context, const Buffer& data, const std::string& from) {
  const uint64_t n = data.size();
  if (n <= 100) return 0;
  const bool extended = context.extended();
  auto findStart = [&](uint64_t at, uint64_t limit) {
    return extended ? FindStartAnyCase(data, at, limit) : FindTag(data, at, limit, kHTMLStart);
  };
  auto findDoctype = [&](uint64_t at, uint64_t limit) {
    return extended ? kDoctypeAnyCase.find(data, at, limit) : data.find(kDoctype, at, limit);
  };
  // A start tag inside a document begins a document of its own when it
  // opens a line or has a document type just before it (not, say, a
  // script's string).
  auto beginsDocument = [&](uint64_t p2, uint64_t p) {
    uint64_t k = p2;
    while (k > p && (data.u8(k - 1) == ' ' || data.u8(k - 1) == '\t')) --k;
    if (k > p && (data.u8(k - 1) == '\n' || data.u8(k - 1) == '\r')) return true;
    const uint64_t lowest = std::max(p + 5, p2 > kDoctypeLookBack ? p2 - kDoctypeLookBack : 0);
    return lowest < p2 && findDoctype(lowest, p2) != npos;
  };

  int32_t count = 0;
  uint64_t i = 0;
  std::string source = from;
  uint64_t doctype = npos;  // the last document-type line found so far
  uint64_t searched = 0;    // where the search for them goes on
  while (i < n - 6 && !context.stopStreller()) {
    uint64_t p = findStart(i, n - 6);
    if (p == npos) break;
    const uint64_t q = FindTag(data, p, n - 6, kHTMLEnd, extended);
    if (q == npos) break;  // no end: nothing partial is reported
    for (uint64_t p2 = findStart(p + 5, q); p2 != npos; p2 = findStart(p2 + 5, q))
      if (beginsDocument(p2, p)) p = p2;
    // The document starts at the last document-type line within reach
    // before the tag. The search runs forward over the bytes not searched
    // yet and remembers the last one found, so that documents close
    // together do not read the same bytes again.
    const uint64_t lowest = p > kDoctypeLookBack ? p - kDoctypeLookBack : 0;
    for (uint64_t k = findDoctype(std::max(searched, lowest), p + 1); k != npos;
         k = findDoctype(k + 1, p + 1))
      doctype = k;
    searched = p + 1;
    uint64_t start = doctype != npos && doctype >= lowest ? doctype : p;
    if (extended) {
      // An XHTML document begins with its XML prolog, when only white
      // space stands between the prolog and the rest.
      uint64_t k = start;
      while (k > i && (data.u8(k - 1) == ' ' || data.u8(k - 1) == '\t' || data.u8(k - 1) == '\n' ||
                       data.u8(k - 1) == '\r'))
        --k;
      if (k >= 2 && k - 2 >= i && data.u8(k - 2) == '?' && data.u8(k - 1) == '>') {
        const uint64_t reach = std::max(i, k > kPrologLookBack ? k - kPrologLookBack : 0);
        uint64_t prolog = npos;
        for (uint64_t x = data.find("<?xml"sv, reach, k - 1); x != npos;
             x = data.find("<?xml"sv, x + 1, k - 1))
          prolog = x;
        if (prolog != npos && data.find("?>"sv, prolog, k) == k - 2) start = prolog;
      }
    }
    const uint64_t end = q + 7;
    const uint64_t length = end - start;

    const uint64_t window = std::min(start + kTitleWindow, end);
    if (const uint64_t t = FindTag(data, start, window, kTitleStart, extended); t != npos) {
      if (const uint64_t u = FindTag(data, t + 7, window, kTitleEnd, extended); u != npos) {
        if (extended) {
          // The store takes one extension off a name: the one given here,
          // so that "Release 2.0 notes" stays whole.
          const std::string title = ExtendedTitle(data.view(t + 7, u - t - 7));
          if (!title.empty()) source = title + ".html";
        } else {
          std::string title;
          for (uint64_t k = t + 7; k < u && title.size() < kMaxTitle; ++k) {
            const uint8_t c = data.u8(k);
            if (c > 0x1F && c != ':' && c != '/') title.push_back(static_cast<char>(c));
          }
          // Later documents without a title of their own keep this name.
          if (!title.empty()) source = EightBitText(title);
        }
      }
    }

    if (IsWholeBuffer(start, length, n)) context.setAtomicFileFound(true);
    context.saveStrell(data, start, length, "html", source, count, ItemEnd::kMarker);
    ++count;
    i = end;
  }
  return count;
}

std::optional<Buffer> DecodeTextAt(const Buffer& data, uint64_t offset, uint64_t maxOutput) {
  if (offset >= data.size()) return std::nullopt;
  int64_t removed = 0;
  Buffer text = ASCIILegalize2(data.slice(offset, maxOutput), &removed, false);
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace strellbox
