#include <gtest/gtest.h>

#include "extractors/compressed_fixtures.h"
#include "extractors/lzma.h"
#include "extractors/zip_deflate.h"
#include "support/test_support.h"

namespace strellbox::test {
namespace {

std::string Le16(uint16_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
std::string Le32(uint32_t v) { return Le16(static_cast<uint16_t>(v)) + Le16(v >> 16); }

// A tag with the long length form, which every tag may use.
std::string Tag(uint16_t type, const std::string& body) {
  return Le16(static_cast<uint16_t>(type << 6 | 0x3F)) + Le32(static_cast<uint32_t>(body.size())) +
         body;
}

// Everything after the 8-byte header: frame size, rate and count, a
// background colour, `extra` tags, one frame and the End tag.
std::string MovieBody(const std::string& extra = "") {
  const std::string frame("\x50\x00\xC8\x00\x0C\x80", 6);  // 20 × 20 pixels
  return frame + Le16(12 << 8) + Le16(1) + Tag(9, std::string("\xFF\x80\x00", 3)) + extra +
         Le16(1 << 6) + std::string(2, '\0');
}

std::string Plain(const std::string& body, uint8_t version = 6) {
  return "FWS" + std::string(1, static_cast<char>(version)) +
         Le32(static_cast<uint32_t>(8 + body.size())) + body;
}

std::string Compressed(const std::string& body, uint8_t version = 6) {
  return "CWS" + std::string(1, static_cast<char>(version)) +
         Le32(static_cast<uint32_t>(8 + body.size())) + Zlib(body);
}

TEST(SwfTest, MoviesAreMeasuredAndCompressedOnesComeOutPlain) {
  // Tag content that does not compress, so a compressed movie stays above
  // 100 bytes.
  std::string noise;
  for (uint32_t x = 12345; noise.size() < 160;)
    noise.push_back(static_cast<char>((x = x * 1103515245 + 12345) >> 24));
  const std::string body = MovieBody(Tag(77, noise));
  const std::string movie = Plain(body);
  const std::string prefix(33, '.');
  std::string badEnd = movie;
  badEnd.back() = '\x01';
  std::string zeroLength = movie;
  zeroLength.replace(4, 4, Le32(0));
  std::string tooLong = movie;
  tooLong.replace(4, 4, Le32(0xFFFFFFF0));
  std::string lengthTwo = movie;
  lengthTwo.replace(4, 4, Le32(2));
  std::string brokenBody = Compressed(body);
  brokenBody[20] ^= 0x55;

  struct Item {
    uint64_t from;
    std::string bytes;
  };
  struct Row {
    const char* name;
    std::string bytes;
    bool scanForJPEG;
    std::vector<Item> items;
    bool atomic;
  };
  const uint64_t p = prefix.size();
  const std::vector<Row> rows = {
      {"whole buffer, JPEG scanning off", movie, false, {{0, movie}}, true},
      {"whole buffer, JPEG scanning on", movie, true, {{0, movie}}, false},
      {"after other bytes", prefix + movie + prefix, false, {{p, movie}}, false},
      {"version 7", prefix + Plain(body, 7), false, {{p, Plain(body, 7)}}, false},
      {"version 8", prefix + Plain(body, 8), false, {}, false},
      {"movie inside a movie is part of it",
       Plain(MovieBody(Tag(77, movie))),
       false,
       {{0, Plain(MovieBody(Tag(77, movie)))}},
       true},
      {"last two bytes not 00 00, next one 8 bytes on",
       badEnd.substr(0, 8) + movie + prefix,
       false,
       {{8, movie}},
       false},
      {"last two bytes not 00 00", prefix + badEnd, false, {}, false},
      {"length 0, then a movie", zeroLength.substr(0, 8) + movie, false, {{8, movie}}, false},
      {"length past the end", prefix + tooLong, false, {}, false},
      {"length 2 at offset 0", lengthTwo, false, {}, false},
      {"compressed", prefix + Compressed(body) + prefix, false, {{0, movie}}, false},
      {"compressed, whole buffer", Compressed(body), false, {{0, movie}}, false},
      {"compressed version 8", prefix + Compressed(body, 8), false, {}, false},
      {"compressed, corrupt body", prefix + brokenBody, false, {}, false},
      {"plain then compressed", movie + Compressed(body), false, {{0, movie}, {0, movie}}, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    StrellController c;
    c.setExtendedDetection(false);  // the classic versions
    c.setScanFor(PassId::kJPEG, r.scanForJPEG);
    ItemRecorder rec(c);
    ScanContext context(c);
    EXPECT_EQ(strellSWF(context, Buffer::fromString(r.bytes), "/in/movie.bin"),
              static_cast<int32_t>(r.items.size()));
    EXPECT_EQ(context.atomicFileFound(), r.atomic);
    ASSERT_EQ(rec.items().size(), r.items.size());
    for (size_t i = 0; i < r.items.size(); ++i) {
      const Reported& item = rec.items()[i];
      EXPECT_EQ(item.from, r.items[i].from);
      EXPECT_EQ(item.bytes, r.items[i].bytes);
      EXPECT_EQ(item.type, "swf");
      EXPECT_EQ(item.original, "/in/movie.bin");
      EXPECT_EQ(item.foundNo, static_cast<int32_t>(i));
    }
  }
}

TEST(SwfTest, BuffersOf100BytesOrLessAreLeftAlone) {
  const std::string body = MovieBody();
  for (uint64_t n : {100u, 101u}) {
    const std::string movie = Plain(body + std::string(n - 8 - body.size(), '\0'));
    ASSERT_EQ(movie.size(), n);
    StrellController c;
    ItemRecorder rec(c);
    EXPECT_EQ(RunPass(c, strellbox::strellSWF, Buffer::fromString(movie), "/in/m.swf"),
              n > 100 ? 1 : 0)
        << n;
  }
}

TEST(SwfTest, JpegInACompressedMovieIsFoundThroughTheDeflatePass) {
  const std::string jpeg = RunTool("convert -size 16x16 gradient:red-blue jpg:-");
  ASSERT_EQ(jpeg.substr(0, 3), "\xFF\xD8\xFF");
  const std::string body = MovieBody(Tag(21, Le16(1) + jpeg));  // DefineBitsJPEG2
  const std::string file = std::string(20, '.') + Compressed(body);
  StrellController c;
  c.setAllScans(false);
  c.setScanFor(PassId::kSWF, true);
  c.setScanFor(PassId::kJPEG, true);
  c.setScanFor(PassId::kFlate, true);
  c.setPassForTesting("jpg", FakeJpegFinder());
  ItemRecorder rec(c);
  EXPECT_EQ(c.strellData(Buffer::fromString(file), "/in/movie.bin"), 3);
  ASSERT_EQ(rec.items().size(), 3u);
  EXPECT_EQ(rec.items()[0].type, "swf");
  EXPECT_EQ(rec.items()[0].bytes, Plain(body));
  EXPECT_EQ(rec.items()[1].type, "jpg");
  EXPECT_EQ(rec.items()[1].original, "/in/movie-inflated");
  EXPECT_EQ(rec.items()[1].bytes, jpeg);
  EXPECT_EQ(rec.items()[2].type, "inflated");
  EXPECT_EQ(rec.items()[2].original, "/in/movie[28]");
  EXPECT_EQ(rec.items()[2].bytes, body);
}

// A movie compressed with LZMA as Flash writes it: the plain header, the
// length of the coded data, the 5 property bytes and the coded data
// (Python's lzma writes the .lzma form: properties, an 8-byte size, data).
std::string Lzma(const std::string& body, uint8_t version) {
  TempDir dir;
  WriteFile(dir / "body", body);
  const std::string alone =
      RunTool("python3 -c \"import lzma,sys; sys.stdout.buffer.write(lzma.compress(open('" +
              (dir / "body").string() + "','rb').read(), format=lzma.FORMAT_ALONE))\"");
  return "ZWS" + std::string(1, static_cast<char>(version)) +
         Le32(static_cast<uint32_t>(8 + body.size())) +
         Le32(static_cast<uint32_t>(alone.size() - 13)) + alone.substr(0, 5) + alone.substr(13);
}

TEST(SwfTest, ExtendedDetectionTakesLaterVersionsAndLzmaMovies) {
  const std::string jpeg = RunTool("convert -size 16x16 gradient:red-blue jpg:-");
  const std::string body = MovieBody(Tag(21, Le16(1) + jpeg));  // DefineBitsJPEG2
  const std::string zws = Lzma(body, 13);
  const std::string file = std::string(20, '.') + Plain(body, 10) + std::string(9, '.') +
                           Compressed(body, 11) + std::string(9, '.') + zws + "tail";
  for (const bool extended : {false, true}) {
    SCOPED_TRACE(extended);
    StrellController c;
    c.setAllScans(false);
    c.setScanFor(PassId::kSWF, true);
    c.setScanFor(PassId::kJPEG, true);
    c.setExtendedDetection(extended);
    ItemRecorder rec(c);
    c.strellData(Buffer::fromString(file), "/in/movies.bin");
    std::vector<std::string> swf;
    size_t jpegs = 0;
    for (const Reported& item : rec.items()) {
      if (item.type == "swf") swf.push_back(item.bytes);
      if (item.type == "jpg") jpegs += item.bytes == jpeg;
    }
    if (!extended) {
      // Versions above 7 are not movies, and nothing decodes LZMA: the JPEG
      // is found in the plain movie and in the inflated body of the
      // compressed one.
      EXPECT_TRUE(swf.empty());
      EXPECT_EQ(jpegs, 2u);
      continue;
    }
    EXPECT_TRUE(swf ==
                (std::vector<std::string>{Plain(body, 10), Plain(body, 11), Plain(body, 13)}));
    EXPECT_EQ(jpegs, 3u);  // and in the decoded tags of the LZMA movie
  }
}

// The LZMA body of a movie that is one JPEG is a whole-buffer item of its
// own; the passes over the file around it still run, and find the PNG.
TEST(SwfTest, AWholeItemInsideADecodedMovieLeavesTheFileToTheOtherPasses) {
  const std::string jpeg = RunTool("convert -size 16x16 gradient:red-blue jpg:-");
  const std::string png = RunTool("convert -size 8x8 xc:green png:-");
  const std::string file = std::string(400, '\0') + Lzma(jpeg, 10) + png;
  StrellController c;
  c.setAllScans(false);
  for (PassId id : {PassId::kSWF, PassId::kPNG, PassId::kJPEG}) c.setScanFor(id, true);
  c.setExtendedDetection(true);
  ItemRecorder rec(c);
  c.strellData(Buffer::fromString(file), "/in/movie.bin");
  std::vector<std::string> types;
  for (const Reported& item : rec.items()) types.push_back(item.type);
  EXPECT_EQ(types, (std::vector<std::string>{"swf", "jpg", "png"}));
}

TEST(SwfTest, LzmaMoviesCostWhatTheirHeaderStates) {
  TempDir dir;
  // 64 MiB of zeros coded in about 10 KB.
  const std::string bomb = RunTool(
      "python3 -c \"import lzma,sys; sys.stdout.buffer.write(lzma.compress(bytes(1 << 26), "
      "format=lzma.FORMAT_ALONE, preset=0))\"");
  ASSERT_LT(bomb.size(), 100000u);
  auto movie = [&](uint32_t length) {
    return "ZWS" + std::string(1, '\x0A') + Le32(length) +
           Le32(static_cast<uint32_t>(bomb.size() - 13)) + bomb.substr(0, 5) + bomb.substr(13);
  };
  struct Row {
    const char* name;
    uint32_t length;
    Inflater::Outcome outcome;
    uint64_t mostProduced;
  };
  for (const Row& r : {Row{"the header says 100 bytes", 100, Inflater::Outcome::kBadStream, 92},
                       Row{"the header says 4 GiB, above the cap", 0xFFFFFFF0u,
                           Inflater::Outcome::kCapReached, 0}}) {
    SCOPED_TRACE(r.name);
    const std::string file = std::string(40, '.') + movie(r.length);
    Inflater::Attempt attempt;
    EXPECT_FALSE(DecodeLzma(Buffer::fromString(file), 40 + 12, r.length - 8, {}, attempt));
    EXPECT_EQ(attempt.outcome, r.outcome);
    EXPECT_LE(attempt.produced, r.mostProduced);
    EXPECT_LE(attempt.consumed, 1000u);
    StrellController c;
    c.setAllScans(false);
    c.setScanFor(PassId::kSWF, true);
    c.setExtendedDetection(true);
    ItemRecorder rec(c);
    c.strellData(Buffer::fromString(file), "/in/bomb.bin");
    EXPECT_TRUE(rec.items().empty());
  }
}

TEST(SwfTest, CompressedMoviesOfCraftedBodiesCostLinearWork) {
  // Every 16 bytes a CWS header and a zlib header followed by a stored
  // block whose length chains on to the next block header: each candidate
  // is a well-formed movie body that runs to the end of the buffer.
  std::string unit("CWS\x07\x10\x00\x00\x00\x78\x01\x00\xFB\xFF\x04\x00\x11", 16);
  std::string flood;
  while (flood.size() < (1u << 20)) flood += unit;
  StrellController c;
  ItemRecorder rec(c);
  const uint64_t before = InflateWorkOnThisThread();
  EXPECT_EQ(RunPass(c, strellbox::strellSWF, Buffer::fromString(flood), "/in/flood.bin"), 0);
  EXPECT_LE(InflateWorkOnThisThread() - before, 40u * flood.size());
}

}  // namespace
}  // namespace strellbox::test
