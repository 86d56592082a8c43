// Base64 attachments of mail and news files, and long Base64 blocks anywhere.
//
// A block is found in one of two ways:
//  - after the keyword "base64" (a Content-Transfer-Encoding line): the name
//    comes from the header fields that follow, the body from after the next
//    empty line (LF LF or CR LF CR LF, also quoted with one or two ">");
//  - without a keyword, as a long run of legal bytes over several lines.
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
#include "engine/paths.h"
#include "engine/scan_context.h"
#include "extractors/text.h"

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

// When B[q] is LF and starts an empty line (LF, or CR LF, after up to two
// ">"), the offset just past that line and whether it was quoted.
struct EmptyLine {
  uint64_t end = 0;
  bool quoted = false;
};
std::optional<EmptyLine> EmptyLineAt(const Buffer& b, uint64_t q) {
  uint64_t p = q + 1;
  bool quoted = false;
  if (b.u8(p) == '>') {
    quoted = true;
    ++p;
    if (b.u8(p) == '>') ++p;
  }
  if (b.u8(p) == '\r') ++p;
  if (b.u8(p) != '\n') return std::nullopt;
  return EmptyLine{p + 1, quoted};
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

uint64_t Base64Finder::KeywordSearch::operator()(uint64_t from) const {
  return data->find("base64"sv, from, limit);
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

Buffer Base64Decode(const Buffer& data) {
  const std::string_view in = data.view();
  const size_t size = in.size();
  auto value = [&in](size_t i) { return kDecodeValue[static_cast<uint8_t>(in[i])]; };
  std::vector<uint8_t> out;
  out.reserve(size / 4 * 3 + 3);
  // Bytes are decoded into a small block that stays in the cache and are
  // appended a block at a time.
  std::array<uint8_t, 3 * 4096> block;
  size_t used = 0;
  uint32_t acc = 0;
  int group = 0;
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

int32_t strellBase64(ScanContext& context, const Buffer& data, const std::string&) {
  const uint64_t n = data.size();
  if (n <= kMinBuffer) return 0;
  const std::string_view b = data.view();
  const uint64_t limit = n - 8;

  RememberedSearch filenames([&](uint64_t from) { return data.find("filename"sv, from, n - 10); });
  RememberedSearch descriptions(
      [&](uint64_t from) { return data.find("cription"sv, from, limit); });
  RememberedSearch locations([&](uint64_t from) { return data.find("Location"sv, from, limit); });
  RememberedSearch emptyLines([&](uint64_t from) {
    for (uint64_t q = data.find('\n', from, limit); q != npos; q = data.find('\n', q + 1, limit))
      if (EmptyLineAt(data, q)) return q;
    return npos;
  });

  int32_t count = 0;
  int32_t unnamed = 0;
  std::optional<std::string> pending;
  uint64_t position = 0;

  Base64Finder finder(data, limit);
  while (position < limit && !context.stopStreller()) {
    const Base64Candidate found = finder.next(position);
    if (found.at == npos) break;
    const uint64_t i = found.at;

    uint64_t start = 0, measureFrom = 0;
    bool haveBlock = true;
    if (found.runLength > kMinBlock - 1) {
      start = found.runStart;
      measureFrom = i;
    } else {
      if (!pending) {
        if (const uint64_t q = filenames.next(i); q != npos) {
          uint64_t v = q + 9;
          if (data.u8(v) == '"') ++v;
          pending = HeaderValue(data, v, n - 10, true);
        }
      }
      if (!pending) {
        if (const uint64_t q = descriptions.next(i); q != npos)
          pending = HeaderValue(data, q + 10, limit, false);
      }
      if (!pending) {
        if (const uint64_t q = locations.next(i); q != npos)
          pending = HeaderValue(data, q + 10, limit, false);
      }
      if (const uint64_t q = emptyLines.next(i); q != npos) {
        const EmptyLine line = *EmptyLineAt(data, q);
        start = line.end;
        if (!line.quoted) {
          // The first body line may itself be quoted or empty.
          if (data.u8(start) == '>') ++start;
          if (data.u8(start) == '\n')
            ++start;
          else if (data.u8(start) == '\r' && data.u8(start + 1) == '\n')
            start += 2;
        }
        measureFrom = start;
      } else {
        haveBlock = false;
      }
    }
    position = i + kMinBlock;
    if (!haveBlock) continue;

    // The block runs over legal bytes and takes in the first byte that is not.
    uint64_t end = LegalBase64End(b, std::min(measureFrom, n), n, false);
    if (end < n) ++end;
    const uint64_t length = end - std::min(start, end);
    if (length <= kMinBlock) continue;

    std::optional<std::string> base, ext;
    if (pending) {
      ext = PathExtension(*pending);
      base = DeletingPathExtension(*pending);
    }
    const Buffer decoded =
        Base64Decode(data.slice(start, length)).decodedFrom(data, "base64", start);
    base = ISOClean(std::move(base));
    int32_t number = 0;
    if (!base) {
      base = "Strell";
      number = unnamed++;
    }
    // A name's own extension counts only behind a second one (a.tar.gz);
    // otherwise the decoded bytes say what the file is.
    if (PathExtension(*base).empty()) ext = GuessExtension(decoded);
    ++count;
    context.saveStrell(decoded, 0, decoded.size(), ext.value_or(""), *base, number);
    pending.reset();
    context.writeFoundFiles();
    position = start + length;
    if (n > kProgressSize)
      context.progressFromThread(
          context.strelledBytes() +
          static_cast<double>(position / static_cast<uint64_t>(context.fileTypeCount())));
  }
  return count;
}

}  // namespace strellbox
