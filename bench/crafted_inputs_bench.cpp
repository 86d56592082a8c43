// Each pass of the dispatcher over the worst 16 MiB input found for it,
// against the same pass over 16 MiB of seeded random bytes.
//
// Every iteration runs the pass once over the random bytes and once over
// the crafted ones, each timed in thread CPU time, so that both see the same
// load on a shared machine. Counters: random_ms and crafted_ms (medians),
// x_random, the median over the iterations of crafted / random, and the
// items each run reported (captured in memory, nothing is written).
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "engine/log.h"
#include "engine/strell_controller.h"

namespace strellbox {
namespace {

constexpr size_t kSize = size_t{16} << 20;

using Bytes = std::vector<uint8_t>;
using PassRun = std::function<int32_t(StrellController&, const Buffer&)>;

uint64_t gState = 0;

uint64_t SplitMix() {
  uint64_t z = (gState += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

const Buffer& RandomBuffer() {
  static const Buffer buffer = [] {
    gState = 0x5EED;
    Bytes v(kSize);
    for (size_t i = 0; i < v.size(); i += 8) {
      const uint64_t z = SplitMix();
      std::memcpy(&v[i], &z, 8);
    }
    return Buffer(std::move(v));
  }();
  return buffer;
}

void Append(Bytes& v, std::string_view s) { v.insert(v.end(), s.begin(), s.end()); }

// `unit` repeated until the buffer is full; the last copy may be cut.
Bytes Repeat(std::string_view unit) {
  Bytes v;
  v.reserve(kSize + unit.size());
  while (v.size() < kSize) Append(v, unit);
  v.resize(kSize);
  return v;
}

// --- The crafted inputs ------------------------------------------------------

// The first byte of the pass's signature and nothing else: every byte is a
// candidate for the search.
template <uint8_t kByte>
Bytes Run() {
  return Bytes(kSize, kByte);
}

// Back-to-back JPEG starts, each an SOI and one APP1 segment whose length
// leads to the next start: the marker walk from every SOI runs through all
// the later ones and breaks at the end of the buffer.
Bytes JPEGSegmentChain() { return Repeat(std::string_view("\xFF\xD8\xFF\xE1\x00\x04\x00\x00", 8)); }

// SOI then SOS, again and again, and no EOI anywhere.
Bytes JPEGScanWithoutEnd() {
  return Repeat(std::string_view("\xFF\xD8\xFF\xDA\x00\x00\x00\x00", 8));
}

// SOIs in a run of fill markers that breaks only at the very end.
Bytes JPEGFillRun() {
  Bytes v = Repeat(std::string_view("\xFF\xD8\xFF\x00", 4));
  std::fill(v.end() - 8, v.end(), 0);
  v[v.size() - 8] = 0xFF;
  return v;
}

// A GIF signature in every 256-byte sub-block of one endless comment: the
// walk from each signature joins the chain and runs off the end.
Bytes GIFSubBlockChain() {
  std::string unit(256, '\0');
  unit[0] = '\xFF';  // a sub-block of 255 bytes
  const std::string_view head("GIF89a\x01\x00\x01\x00\x00\x00\x00\x21\xFE", 15);
  unit.replace(1, head.size(), head);
  unit[16] = static_cast<char>(239);  // the comment's first sub-block ends at the next unit
  return Repeat(unit);
}

// PNG signatures back to back, each chunk header leading to the next
// signature's chunk, no IEND anywhere.
Bytes PNGChunkChain() {
  // Signature (8), then a chunk of length 0 (12 bytes) is 20 bytes; the next
  // chunk header lands on the next signature's first chunk.
  std::string unit("\x89PNG\r\n\x1A\n", 8);
  unit += std::string(
      "\x00\x00\x00\x08"
      "abcd",
      8);                       // length 8: skips the next signature
  unit += std::string(4, 'c');  // CRC
  return Repeat(unit);
}

// Signatures whose size fields all point past the end of the buffer.
Bytes BMPPastTheEnd() { return Repeat(std::string_view("BM\xFF\xFF\xFF\x7F", 6)); }
Bytes WAVPastTheEnd() { return Repeat(std::string_view("RIFF\xFF\xFF\xFF\x7FWAVE", 12)); }

// Compressed Flash headers or plain bytes in front of zlib streams made of
// stored blocks that never finish: each block holds the next unit, so the
// stream from every header runs on to the end of the buffer.
Bytes StoredBlocksChain(std::string_view header) {
  // The block's length: the rest of this unit after the block header, and
  // the next unit's header bytes and zlib header.
  const auto length = static_cast<uint16_t>(header.size() + 2);
  std::string unit(header);
  unit += std::string_view("\x78\x01\x00", 3);
  unit.push_back(static_cast<char>(length & 0xFF));
  unit.push_back(static_cast<char>(length >> 8));
  unit.push_back(static_cast<char>(~length & 0xFF));
  unit.push_back(static_cast<char>((~length >> 8) & 0xFF));
  return Repeat(unit);
}
Bytes SWFStoredChain() { return StoredBlocksChain(std::string_view("CWS\x07\x00\x00\x10\x00", 8)); }
Bytes ZlibStoredChain() { return StoredBlocksChain("abcdefghi"); }

// A valid zlib header every 16 bytes whose first block has the reserved
// type: every candidate is an attempt that fails at once, the least an
// inflation attempt costs.
Bytes ZlibFailingHeaders() {
  std::string unit("\x78\x9C", 2);
  unit.resize(16, '\xFF');
  return Repeat(unit);
}

// Local file headers with no end record anywhere.
Bytes ZipWithoutEnd() { return Repeat(std::string_view("PK\x03\x04", 4)); }

// Document headers each followed by "trailer" and "startxref" but never
// "%%EOF".
Bytes PDFWithoutEnd() { return Repeat("%PDF-1.4 trailer startxref "); }

// A header, its trailer and startxref, then a run of the end marker's
// first byte.
Bytes PDFPercentRun() {
  Bytes v = Run<'%'>();
  const std::string_view head = "%PDF-1.4 trailer startxref ";
  std::copy(head.begin(), head.end(), v.begin());
  return v;
}

// A document at the start whose cross-reference table fills the buffer,
// every entry naming the same object: a stream without "endstream", so
// every parse of it would search to the end of the buffer.
Bytes PDFOneObjectEverywhere() {
  std::string head = "%PDF-1.4\n1 0 obj\n<< /Length 1 >>\nstream\nx\n";
  const std::string entry = "0000000009 00000 n\r\n";
  const size_t entries = (kSize - head.size() - 200) / entry.size();
  const size_t xref = head.size();
  head += "xref\n1 " + std::to_string(entries) + "\n";
  Bytes v(head.begin(), head.end());
  v.reserve(kSize);
  for (size_t i = 0; i < entries; ++i) Append(v, entry);
  Append(v, "trailer\n<< /Size " + std::to_string(entries + 1) + " /Root 1 0 R >>\nstartxref\n" +
                std::to_string(xref) + "\n%%EOF\n");
  return v;
}

// With extended detection: a header, then "1 0 obj" again and again, which
// the rebuilding of the catalog meets 2 million times.
Bytes PDFObjectHeadersEverywhere() {
  Bytes v = Repeat("1 0 obj ");
  const std::string_view head = "%PDF-1.5\n";
  std::copy(head.begin(), head.end(), v.begin());
  const std::string_view tail = "\nstartxref\n0\n%%EOF\n";
  std::copy(tail.begin(), tail.end(), v.end() - tail.size());
  return v;
}

// The same with a new number each time: the catalog fills to its cap.
Bytes PDFDistinctObjectHeaders() {
  Bytes v;
  Append(v, "%PDF-1.5\n");
  for (uint64_t n = 1; v.size() < kSize - 64; ++n) Append(v, std::to_string(n) + " 0 obj ");
  Append(v, "\nstartxref\n0\n%%EOF\n");
  v.resize(kSize, ' ');
  return v;
}

// A keyword every 256 bytes, a file name, and no empty line anywhere.
Bytes Base64KeywordsWithoutBody() {
  std::string unit = "Content-Transfer-Encoding: base64\nContent-Disposition: attachment\n";
  unit.resize(256, 'x');
  return Repeat(unit);
}

// Keywords, each with a name, an empty line and a body of 255 bytes (one
// byte short of being reported).
Bytes Base64ShortBodies() {
  std::string unit = "Content-Transfer-Encoding: base64\nfilename=\"a.bin\"\n\n";
  unit.append(250, 'Q');
  unit += "\n\x01";
  return Repeat(unit);
}

// Blocks of five Base64 lines, each block ended by a byte outside the
// alphabet: every block is found by its run and decoded.
Bytes Base64ShortRuns() {
  std::string line(76, 'A');
  line += '\n';
  return Repeat(line + line + line + line + line + "!");
}

// Keywords each at the end of a long header block (forty fields, a
// continued name among them), a blank line and a short body: every keyword
// walks back over its block and reads its fields.
Bytes Base64LongHeaderBlocks() {
  std::string unit = "--b\n";
  for (int k = 0; k < 40; ++k) unit += "X-Field-" + std::to_string(k) + ": some value here\n";
  unit +=
      "Content-Disposition: attachment;\n filename*0*=utf-8''caf%C3%A9%20;\n"
      " filename*1=\"report.pdf\"\nContent-Type: application/pdf; "
      "name=\"=?utf-8?B?Y2Fmw6kucGRm?=\"\nContent-Transfer-Encoding: base64\n\nQUJD\n";
  return Repeat(unit);
}

// Names in a charset that only iconv converts, one short part after
// another: a conversion per part.
Bytes Base64CharsetNames() {
  return Repeat(
      "--b\nContent-Disposition: attachment; filename*=iso-8859-2''%B1%E6.bin\n"
      "Content-Transfer-Encoding: base64\n\nQUJD\n");
}

// Begin lines, each followed by good data lines and no end line: every
// file is decoded up to the next begin line and dropped.
Bytes UuencodeWithoutEnd() {
  std::string unit = "begin 644 x.bin\n";
  for (int k = 0; k < 20; ++k) unit += "M" + std::string(60, 'A') + "\n";
  return Repeat(unit);
}

// The smallest whole uuencoded files, back to back: each is reported and
// scanned again.
Bytes UuencodeTinyFiles() { return Repeat("begin 644 a\n!80``\n`\nend\n"); }

// yEnc headers and data lines without an end line.
Bytes YencWithoutEnd() {
  std::string unit = "=ybegin line=128 size=100000 name=a.bin\n";
  for (int k = 0; k < 20; ++k) unit += std::string(128, 'k') + "\n";
  return Repeat(unit);
}

// Words the filter keeps, all of it: the text is filtered twice.
Bytes TextAllWords() { return Repeat("the quick brown fox jumps over the lazy dog\n"); }

// Bytes the word filter keeps and drops in turn, one-byte words.
Bytes TextAlternating() {
  return Repeat(
      std::string_view("a\x01"
                       "b \x02\x00",
                       6));
}

// The smallest documents, back to back: each is reported, and each looks
// back for a document type.
Bytes HTMLTinyDocuments() { return Repeat("<html></html>"); }

// Start tags, each with a document type just in front and a title, and
// no end tag.
Bytes HTMLWithoutEnd() { return Repeat("<!DOCTYPE html><html><title>t</title>"); }

// --- Inputs for the walks of extended detection ------------------------------

std::string Le16(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string Le32(uint32_t v) { return Le16(static_cast<uint16_t>(v)) + Le16(v >> 16); }

// WebP headers hidden in the data of JUNK chunks that chain on to the end:
// the walk from every header (an extended header, then the chain) reaches
// the end of its RIFF size, the end of the buffer, and finds no image.
Bytes WebPJunkChain() {
  constexpr size_t kUnit = 8 + 30;
  Bytes v;
  v.reserve(kSize);
  while (v.size() + kUnit <= kSize) {
    const size_t headerAt = v.size() + 8;
    Append(v, "JUNK" + Le32(30));
    Append(v, "RIFF" + Le32(static_cast<uint32_t>(kSize - headerAt - 8)) + "WEBP");
    Append(v, "VP8X" + Le32(10) + std::string(10, '\0'));
  }
  v.resize(kSize, '.');
  return v;
}

// A TIFF header every 12 bytes, whose directory (in the bytes after it)
// claims 4000 entries of an unknown type: every candidate reads them all
// and finds no image.
Bytes TIFFLongDirectories() {
  return Repeat(std::string("II*\0", 4) + Le32(8) + Le16(4000) + Le16(0));
}

// gzip headers before stored blocks that each hold the next header, so
// that the member from every header runs on to the end of the buffer.
Bytes GzipStoredChain() {
  const std::string header("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  return Repeat(header + std::string("\x00", 1) + Le16(10) + Le16(static_cast<uint16_t>(~10)));
}

// Zip local headers (deflated, sizes left for a descriptor) whose data is a
// stored block holding the next local header: each member runs on to the
// end of the buffer.
Bytes ZipMemberStoredChain() {
  std::string header =
      "PK\x03\x04" + Le16(20) + Le16(8) + Le16(8) + std::string(16, '\0') + Le16(0) + Le16(0);
  const auto next = static_cast<uint16_t>(header.size());
  return Repeat(header + std::string("\x00", 1) + Le16(next) + Le16(static_cast<uint16_t>(~next)));
}

// LZMA movie headers back to back, each asking for a large movie, its
// data the range coder's first byte and then the next header: every
// candidate sets up a decoder.
Bytes SWFLzmaHeaders() {
  return Repeat("ZWS\x0A" + Le32(1 << 20) + Le32(1 << 20) +
                std::string("\x5D\x00\x00\x01\x00\x00", 6));
}

// RIFF WAVE headers with the sizes of a streaming writer, one chunk each.
Bytes WAVStreamingHeaders() {
  return Repeat("RIFF" + Le32(0) + "WAVE" + "fmt " + Le32(16) + std::string(16, '\x01'));
}

// --- The benchmark -----------------------------------------------------------

double ThreadSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The least any pass that looks at each candidate must spend: the pass's own
// signature search from where the pass goes on after a dropped candidate,
// and nothing else. Run over a crafted input in place of the pass, it shows
// what share of the crafted time goes to merely finding the candidates.
PassRun SearchOnly(std::string_view needle, uint64_t step, uint64_t window) {
  return [needle, step, window](StrellController&, const Buffer& b) {
    int32_t candidates = 0;
    const uint64_t limit = b.size() - window;
    for (uint64_t p = b.find(needle, 0, limit); p != Buffer::npos;
         p = b.find(needle, p + step, limit))
      ++candidates;
    return candidates;
  };
}

// `onCrafted` runs in place of the pass over the crafted bytes when given.
void RunCrafted(benchmark::State& state, const PassRun& pass, Bytes (*make)(),
                const PassRun& onCrafted = nullptr) {
  SetLogSink([](std::string_view) {});
  const Buffer& random = RandomBuffer();
  const Buffer crafted(make());
  StrellController controller;
  // The Base64 pass makes the output folder after each item (the observer
  // keeps the items out of it); without one it would stop the pass.
  const auto out = std::filesystem::temp_directory_path() /
                   ("strellbox-crafted-bench-" + std::to_string(::getpid()));
  controller.setStrellOutputDirectory(out.string());
  int64_t items = 0;
  controller.setSaveObserverForTesting([&items](const Buffer&, uint64_t, uint64_t, std::string_view,
                                                std::string_view, int32_t,
                                                strellbox::ItemEnd) { ++items; });
  std::vector<double> randomTimes, craftedTimes, ratios;
  int64_t randomItems = 0, craftedItems = 0;
  for (auto _ : state) {
    items = 0;
    const double t0 = ThreadSeconds();
    benchmark::DoNotOptimize(pass(controller, random));
    const double t1 = ThreadSeconds();
    randomItems = items;
    items = 0;
    benchmark::DoNotOptimize((onCrafted ? onCrafted : pass)(controller, crafted));
    const double t2 = ThreadSeconds();
    craftedItems = items;
    randomTimes.push_back(t1 - t0);
    craftedTimes.push_back(t2 - t1);
    if (t1 > t0) ratios.push_back((t2 - t1) / (t1 - t0));
  }
  std::filesystem::remove_all(out);
  state.counters["random_ms"] = Median(randomTimes) * 1e3;
  state.counters["crafted_ms"] = Median(craftedTimes) * 1e3;
  state.counters["x_random"] = Median(ratios);
  state.counters["items_random"] = static_cast<double>(randomItems);
  state.counters["items_crafted"] = static_cast<double>(craftedItems);
}

template <PassFunction Pass>
int32_t Member(StrellController& c, const Buffer& b) {
  return RunPass(c, Pass, b, std::string("crafted.bin"));
}

// The pass with extended detection on.
template <PassFunction Pass>
int32_t Extended(StrellController& c, const Buffer& b) {
  c.setExtendedDetection(true);
  const int32_t items = RunPass(c, Pass, b, std::string("crafted.bin"));
  c.setExtendedDetection(false);
  return items;
}

int32_t Flate(StrellController& c, const Buffer& b) {
  return RunPass(c, strellFlate, b, std::string("crafted.bin"));
}
int32_t SilentFlate(StrellController& c, const Buffer& b) {
  return RunPass(c, strellSilentFlate, b, std::string("crafted.bin"));
}

int32_t ExtendedFlate(StrellController& c, const Buffer& b) { return Extended<&strellFlate>(c, b); }

#define CRAFTED(name, pass, make)                          \
  BENCHMARK_CAPTURE(RunCrafted, name, PassRun(pass), make) \
      ->Unit(benchmark::kMillisecond)                      \
      ->Iterations(3)

// The search alone over the inputs whose candidates stand a few bytes apart.
#define SEARCH_FLOOR(name, pass, make, needle, step, window)                                 \
  BENCHMARK_CAPTURE(RunCrafted, name, PassRun(pass), make, SearchOnly(needle, step, window)) \
      ->Unit(benchmark::kMillisecond)                                                        \
      ->Iterations(3)

CRAFTED(jpg_ff_run, Member<&strellJPEG>, Run<0xFF>);
CRAFTED(jpg_segment_chain, Member<&strellJPEG>, JPEGSegmentChain);
CRAFTED(jpg_scan_without_end, Member<&strellJPEG>, JPEGScanWithoutEnd);
CRAFTED(jpg_fill_run, Member<&strellJPEG>, JPEGFillRun);
SEARCH_FLOOR(jpg_segment_chain_search_only, Member<&strellJPEG>, JPEGSegmentChain,
             std::string_view("\xFF\xD8\xFF"), 2, 6);
SEARCH_FLOOR(jpg_scan_without_end_search_only, Member<&strellJPEG>, JPEGScanWithoutEnd,
             std::string_view("\xFF\xD8\xFF"), 2, 6);
SEARCH_FLOOR(jpg_fill_run_search_only, Member<&strellJPEG>, JPEGFillRun,
             std::string_view("\xFF\xD8\xFF"), 2, 6);
CRAFTED(gif_g_run, Member<&strellGIF>, Run<'G'>);
CRAFTED(gif_sub_block_chain, Member<&strellGIF>, GIFSubBlockChain);
CRAFTED(png_89_run, Member<&strellPNG>, Run<0x89>);
CRAFTED(png_chunk_chain, Member<&strellPNG>, PNGChunkChain);
SEARCH_FLOOR(png_chunk_chain_search_only, Member<&strellPNG>, PNGChunkChain,
             std::string_view("\x89PNG\r\n\x1A\n"), 8, 8);
CRAFTED(bmp_b_run, Member<&strellBMP>, Run<'B'>);
CRAFTED(bmp_past_the_end, Member<&strellBMP>, BMPPastTheEnd);
CRAFTED(wav_r_run, Member<&strellWAV>, Run<'R'>);
CRAFTED(wav_past_the_end, Member<&strellWAV>, WAVPastTheEnd);
SEARCH_FLOOR(wav_past_the_end_search_only, Member<&strellWAV>, WAVPastTheEnd,
             std::string_view("RIFF"), 12, 12);
CRAFTED(swf_w_run, Member<&strellSWF>, Run<'W'>);
CRAFTED(swf_stored_chain, Member<&strellSWF>, SWFStoredChain);
CRAFTED(flate_78_run, Flate, Run<0x78>);
CRAFTED(flate_p_run, Flate, Run<'P'>);
CRAFTED(flate_stored_chain, Flate, ZlibStoredChain);
CRAFTED(flate_zip_without_end, Flate, ZipWithoutEnd);
CRAFTED(flate_failing_headers, Flate, ZlibFailingHeaders);
CRAFTED(silentflate_stored_chain, SilentFlate, ZlibStoredChain);
CRAFTED(extended_jpg_segment_chain, Extended<&strellJPEG>, JPEGSegmentChain);
CRAFTED(extended_jpg_scan_without_end, Extended<&strellJPEG>, JPEGScanWithoutEnd);
CRAFTED(extended_wav_streaming_headers, Extended<&strellWAV>, WAVStreamingHeaders);
CRAFTED(extended_swf_lzma_headers, Extended<&strellSWF>, SWFLzmaHeaders);
CRAFTED(extended_webp_junk_chain, Extended<&strellWebP>, WebPJunkChain);
CRAFTED(extended_tiff_long_directories, Extended<&strellTIFF>, TIFFLongDirectories);
CRAFTED(extended_flate_gzip_stored_chain, ExtendedFlate, GzipStoredChain);
CRAFTED(extended_flate_zip_member_stored_chain, ExtendedFlate, ZipMemberStoredChain);
CRAFTED(pdf_percent_run, Member<&strellPDF>, PDFPercentRun);
CRAFTED(pdf_without_end, Member<&strellPDF>, PDFWithoutEnd);
CRAFTED(pdf_one_object_everywhere, Member<&strellPDF>, PDFOneObjectEverywhere);
CRAFTED(pdf_extended_percent_run, Extended<&strellPDF>, PDFPercentRun);
CRAFTED(pdf_extended_one_object_everywhere, Extended<&strellPDF>, PDFOneObjectEverywhere);
CRAFTED(pdf_extended_object_headers_everywhere, Extended<&strellPDF>, PDFObjectHeadersEverywhere);
CRAFTED(pdf_extended_distinct_object_headers, Extended<&strellPDF>, PDFDistinctObjectHeaders);
CRAFTED(base64_b_run, Member<&strellBase64>, Run<'b'>);
CRAFTED(base64_keywords_without_body, Member<&strellBase64>, Base64KeywordsWithoutBody);
CRAFTED(base64_short_bodies, Member<&strellBase64>, Base64ShortBodies);
CRAFTED(base64_short_runs, Member<&strellBase64>, Base64ShortRuns);
CRAFTED(base64_long_header_blocks, Member<&strellBase64>, Base64LongHeaderBlocks);
CRAFTED(base64_b_run_extended, Extended<&strellBase64>, Run<'b'>);
CRAFTED(base64_keywords_without_body_extended, Extended<&strellBase64>, Base64KeywordsWithoutBody);
CRAFTED(base64_short_bodies_extended, Extended<&strellBase64>, Base64ShortBodies);
CRAFTED(base64_short_runs_extended, Extended<&strellBase64>, Base64ShortRuns);
CRAFTED(base64_long_header_blocks_extended, Extended<&strellBase64>, Base64LongHeaderBlocks);
CRAFTED(base64_charset_names_extended, Extended<&strellBase64>, Base64CharsetNames);
CRAFTED(uuencode_without_end_extended, Extended<&strellBase64>, UuencodeWithoutEnd);
CRAFTED(uuencode_tiny_files_extended, Extended<&strellBase64>, UuencodeTinyFiles);
CRAFTED(yenc_without_end_extended, Extended<&strellBase64>, YencWithoutEnd);
CRAFTED(txt_alternating, Member<&strellASCII>, TextAlternating);
CRAFTED(txt_all_words, Member<&strellASCII>, TextAllWords);
CRAFTED(html_bracket_run, Member<&strellHTML>, Run<'<'>);
CRAFTED(html_without_end, Member<&strellHTML>, HTMLWithoutEnd);
CRAFTED(html_tiny_documents, Member<&strellHTML>, HTMLTinyDocuments);

}  // namespace
}  // namespace strellbox
