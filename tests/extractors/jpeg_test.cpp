#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "engine/log.h"
#include "extractors/image_scan.h"
#include "extractors/image_test_util.h"

namespace strellbox::test {
namespace {

const Pass kJPEG = &strellJPEG;

// The smallest image the walk accepts: SOI, an APP0 segment, EOI.
const std::string kApp0Image = Hex("FF D8 FF E0 00 04 AA BB FF D9");
// An SOI, an APP0 segment of 96 bytes and the EOI: 102 bytes in all.
const std::string kLongImage = Hex("FF D8 FF E0 00 60") + Fill(94) + Hex("FF D9");

TEST(JpegWalk, HandMadeStreams) {
  const std::vector<SpanCase> cases = {
      {"100-byte buffer is not read", "", kApp0Image, Fill(90), {}, false},
      {"101-byte buffer is scanned", "", kApp0Image, Fill(91), {{0, 10}}, false},
      {"whole buffer with 7 trailing bytes", "", kLongImage, Fill(7), {{0, 102}}, true},
      {"8 trailing bytes are not the whole buffer", "", kLongImage, Fill(8), {{0, 102}}, false},
      {"a leading byte is not the whole buffer", Fill(1), kLongImage, "", {{0, 102}}, false},
      {"tables only: EOI before SOS or APP0",
       Fill(50),
       Hex("FF D8 FF DB 00 04 11 22 FF C4 00 04 33 44 FF D9"),
       Fill(60),
       {},
       false},
      {"APP1 does not count as seen",
       Fill(50),
       Hex("FF D8 FF E1 00 04 11 22 FF D9"),
       Fill(60),
       {},
       false},
      {"second SOI starts the item",
       Fill(50),
       Hex("FF D8") + kApp0Image,
       Fill(60),
       {{2, 10}},
       false},
      {"fill bytes before a marker",
       Fill(50),
       Hex("FF D8 FF FF FF E0 00 04 AA BB FF D9"),
       Fill(60),
       {{0, 12}},
       false},
      {"scan data with stuffing and restart markers",
       Fill(50),
       Hex("FF D8 FF DB 00 04 11 22 FF DA 00 02 33 FF 00 44 FF D0 55 FF D1 66 FF D9"),
       Fill(60),
       {{0, 24}},
       false},
      // The marker rule comes before the EOI rule: tables EOI SOI image EOI
      // is one stream.
      {"EOI followed directly by a marker does not end the walk",
       Fill(50),
       Hex("FF D8 FF DB 00 04 11 22 FF D9") + kApp0Image,
       Fill(60),
       {{0, 20}},
       false},
      {"segment length past the end", Fill(90), Hex("FF D8 FF E1 7F F0 00"), "", {}, false},
      {"segment not followed by a marker",
       Fill(50),
       Hex("FF D8 FF E0 00 04 AA BB 00 D9"),
       Fill(60),
       {},
       false},
      {"scan without EOI is dropped, the image inside it is found",
       Fill(50),
       Hex("FF D8 FF E1 00 0D") + kApp0Image + Hex("00 FF DA 00 02 11 22"),
       Fill(60),
       {{6, 10}},
       false},
      {"image at the very end", Fill(95), kApp0Image, "", {{0, 10}}, false},
      {"two images with a gap",
       Fill(50),
       kApp0Image + Fill(1) + kApp0Image,
       Fill(50),
       {{0, 10}, {11, 10}},
       false},
  };
  CheckSpans(kJPEG, cases, "jpg");
}

// Real images made by ImageMagick once for the whole suite.
class JpegFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const std::string fixed = "-quality 75 -define jpeg:optimize-coding=false";
    files_ = new std::map<std::string, std::string>{
        {"baseline", Convert(*dir_, "-size 64x48 gradient:red-blue " + fixed, "a.jpg")},
        {"other", Convert(*dir_, "-seed 3 -size 40x30 plasma:fractal " + fixed, "b.jpg")},
        {"progressive",
         Convert(*dir_, "-size 80x60 gradient:green-yellow -interlace Plane", "p.jpg")},
        {"gray", Convert(*dir_, "-size 50x50 gradient: -colorspace Gray", "g.jpg")},
        {"thumb", Convert(*dir_, "-size 160x120 gradient:blue-yellow -quality 80", "t.jpg")},
    };
    // An EXIF JPEG whose APP1 segment carries the thumbnail in IFD1.
    const std::string& thumb = (*files_)["thumb"];
    std::string tiff = Hex("49 49 2A 00") + LE32(8);
    tiff += LE16(1) + LE16(0x0112) + LE16(3) + LE32(1) + LE32(1) + LE32(26);  // IFD0 -> IFD1
    tiff += LE16(3) + LE16(0x0103) + LE16(3) + LE32(1) + LE32(6);             // compression
    tiff += LE16(0x0201) + LE16(4) + LE32(1) + LE32(68);                      // thumbnail at
    tiff += LE16(0x0202) + LE16(4) + LE32(1) + LE32(static_cast<uint32_t>(thumb.size()));
    // Padding after the thumbnail, as writers that keep segments even do:
    // the thumbnail's EOI is not followed directly by the next marker.
    tiff += LE32(0) + thumb + Fill(2);
    WriteFile(*dir_ / "exif.bin", std::string("Exif\0\0", 6) + tiff);
    (*files_)["exif"] = Convert(*dir_,
                                "-size 640x480 plasma:fractal -quality 85 -profile 'APP1:" +
                                    (*dir_ / "exif.bin").string() + "'",
                                "e.jpg");
  }
  static void TearDownTestSuite() {
    delete files_;
    delete dir_;
  }
  static const std::string& file(const std::string& key) { return files_->at(key); }
  static std::string pathFor(const std::string& name) { return (*dir_ / name).string(); }

  static TempDir* dir_;
  static std::map<std::string, std::string>* files_;
};

TempDir* JpegFiles::dir_ = nullptr;
std::map<std::string, std::string>* JpegFiles::files_ = nullptr;

// Bytes that hold no FF, so no candidate arises from the filler itself.
std::string Filler(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (auto& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>((seed >> 16) & 0x7F);
  }
  return s;
}

TEST_F(JpegFiles, RealImagesInDataAreMeasuredExactly) {
  std::string buffer = Filler(333, 1);
  Spans expected;
  for (const char* key : {"baseline", "progressive", "gray", "exif", "other"}) {
    expected.emplace_back(buffer.size(), file(key).size());
    buffer += file(key) + Filler(17, static_cast<uint32_t>(buffer.size()));
  }
  const PassRun run = RunOnePass(kJPEG, buffer);
  EXPECT_EQ(SpansOf(run), expected);
  EXPECT_FALSE(run.atomic);
}

TEST_F(JpegFiles, WholeFileSetsAtomicFileFound) {
  const PassRun run = RunOnePass(kJPEG, file("progressive"));
  EXPECT_EQ(SpansOf(run), (Spans{{0, file("progressive").size()}}));
  EXPECT_TRUE(run.atomic);
}

TEST_F(JpegFiles, ExifThumbnailIsReportedOnceAsTheOuterImage) {
  const std::string& exif = file("exif");
  const std::string& thumb = file("thumb");
  const size_t inner = exif.find(thumb);
  ASSERT_NE(inner, std::string::npos) << "the thumbnail must sit inside the EXIF segment";
  ASSERT_GT(inner, 0u);

  const PassRun run = RunOnePass(kJPEG, Filler(64, 9) + exif + Filler(64, 10));
  EXPECT_EQ(SpansOf(run), (Spans{{64, exif.size()}}));

  // Once the outer image is cut off before its EOI, it is dropped and the
  // search resumes behind its SOI, so the thumbnail comes out on its own.
  const PassRun cut =
      RunOnePass(kJPEG, Filler(64, 9) + exif.substr(0, exif.size() - 2) + Filler(9, 3));
  EXPECT_EQ(SpansOf(cut), (Spans{{64 + inner, thumb.size()}}));
}

// A real JPEG split the way Flash keeps it: the coding tables (SOI, DQT,
// DHT, EOI) in one tag, the frame and scan (SOI, SOF, SOS, data, EOI) in
// another. Application segments are left out.
struct SplitJpeg {
  std::string tables, image;
};

SplitJpeg Split(const std::string& jpeg) {
  SplitJpeg s{Hex("FF D8"), Hex("FF D8")};
  size_t i = 2;
  while (i + 4 <= jpeg.size()) {
    const auto code = static_cast<uint8_t>(jpeg[i + 1]);
    if (code == 0xDA) {
      s.image += jpeg.substr(i);
      break;
    }
    const size_t length =
        (static_cast<uint8_t>(jpeg[i + 2]) << 8) | static_cast<uint8_t>(jpeg[i + 3]);
    const std::string segment = jpeg.substr(i, length + 2);
    if (code == 0xDB || code == 0xC4)
      s.tables += segment;
    else if (code < 0xE0 || code > 0xEF)
      s.image += segment;
    i += length + 2;
  }
  s.tables += Hex("FF D9");
  return s;
}

std::string JPEGTablesTag(const std::string& tables) {
  return Hex("3F 02") + LE32(static_cast<uint32_t>(tables.size())) + tables;
}
std::string DefineBitsTag(uint16_t id, const std::string& image) {
  return Hex("BF 01") + LE32(static_cast<uint32_t>(image.size() + 2)) + LE16(id) + image;
}
std::string Joined(const std::string& tables, const std::string& image) {
  return tables.substr(0, tables.size() - 2) + image.substr(2);
}

TEST_F(JpegFiles, DefineBitsImagesShareOneJPEGTables) {
  const SplitJpeg a = Split(file("baseline")), b = Split(file("other"));
  ASSERT_EQ(a.tables, b.tables) << "both images must be coded with the same tables";

  const std::string body = Filler(40, 5) + JPEGTablesTag(a.tables) + DefineBitsTag(1, a.image) +
                           DefineBitsTag(2, b.image) + Filler(40, 6);
  const PassRun run = RunOnePass(kJPEG, body, "/in/movie.swf");
  ASSERT_EQ(run.count, 2);
  ASSERT_EQ(run.items.size(), 2u);
  EXPECT_EQ(run.items[0].bytes, Joined(a.tables, a.image));
  EXPECT_EQ(run.items[1].bytes, Joined(a.tables, b.image));
  EXPECT_EQ(run.items[1].foundNo, 1);
  EXPECT_EQ(run.items[0].type, "jpg");
  EXPECT_EQ(run.items[0].from, 0u);

  // The joined files are whole JPEGs that a decoder reads.
  WriteFile(pathFor("joined.jpg"), run.items[1].bytes);
  Shell("identify -regard-warnings -format '%wx%h' '" + pathFor("joined.jpg") + "' > '" +
        pathFor("dims.txt") + "'");
  EXPECT_EQ(ReadFile(pathFor("dims.txt")), "40x30");
}

TEST_F(JpegFiles, FlashTagCornerCases) {
  const SplitJpeg a = Split(file("baseline"));
  const std::string tables = JPEGTablesTag(a.tables);
  std::string brokenImage = a.image;
  brokenImage.replace(brokenImage.size() - 2, 2, Hex("00 00"));
  const std::string standalone = file("gray");

  std::vector<std::string> log;
  LogSink old = SetLogSink([&log](std::string_view line) { log.emplace_back(line); });

  struct Case {
    const char* name;
    std::string body;
    std::vector<std::string> items;  // expected bytes
    int errors;                      // "Swf JPEG error\n" lines
  };
  const std::vector<Case> cases = {
      {"DefineBits before any JPEGTables is walked as it stands",
       Filler(20, 1) + DefineBitsTag(1, a.image) + Filler(20, 2),
       {a.image},
       0},
      {"DefineBits without its EOI is logged and passed over",
       Filler(20, 1) + tables + DefineBitsTag(1, brokenImage) + DefineBitsTag(2, a.image) +
           Filler(20, 2),
       {Joined(a.tables, a.image)},
       1},
      {"DefineBits reaching past the end is dropped",
       Filler(20, 1) + tables + Hex("BF 01") + LE32(0x7FFFFFF0) + LE16(1) + a.image + Filler(20, 2),
       {},
       0},
      {"DefineBits shorter than 4 copies nothing",
       Filler(20, 1) + tables + Hex("BF 01") + LE32(3) + LE16(1) + Hex("FF D8 FF 00") +
           Filler(20, 2) + standalone + Filler(20, 3),
       {standalone},
       1},
      {"JPEGTables shorter than 2 copies nothing and keeps the tables held",
       Filler(20, 1) + tables + Hex("3F 02") + LE32(1) + Hex("FF D8 FF 00") + Hex("3F 02") +
           LE32(0) + Hex("FF D8 FF 00") + DefineBitsTag(1, a.image) + Filler(20, 2),
       {Joined(a.tables, a.image)},
       0},
      // A cut-off tag must not end the pass: the image after it is found.
      {"JPEGTables reaching past the end is passed over",
       Filler(20, 1) + Hex("3F 02") + LE32(0x7FFFFFF0) + Hex("FF D8 FF DB") + Filler(20, 2) +
           standalone + Filler(20, 3),
       {standalone},
       0},
      {"a later JPEGTables replaces the earlier",
       Filler(20, 1) + JPEGTablesTag(Hex("FF D8 FF DB 00 02 FF D9")) + tables +
           DefineBitsTag(1, a.image) + Filler(20, 2),
       {Joined(a.tables, a.image)},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    const PassRun run = RunOnePass(kJPEG, c.body, "/in/movie.swf");
    std::vector<std::string> bytes;
    for (const auto& i : run.items) bytes.push_back(i.bytes);
    EXPECT_EQ(bytes, c.items);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Swf JPEG error\n"), c.errors);
  }
  SetLogSink(old);
}

TEST_F(JpegFiles, DefineBitsJPEG3YieldsItsJpegDataOnly) {
  const std::string& jpeg = file("baseline");
  const std::string alpha = Hex("78 9C 63 60 00 00 00 02 00 01");
  auto tag = [&](uint32_t size) {
    return Hex("FF 08") + LE32(static_cast<uint32_t>(6 + jpeg.size() + alpha.size())) + LE16(7) +
           LE32(size) + jpeg + alpha;
  };
  const std::string body = Filler(30, 4) + tag(static_cast<uint32_t>(jpeg.size())) + Filler(30, 8);

  PassRun run = RunOnePass(kJPEG, body, "/in/movie.v1.swf");
  ASSERT_EQ(run.items.size(), 1u);
  EXPECT_EQ(run.items[0].from, 30u + 12u);
  EXPECT_EQ(run.items[0].bytes, jpeg);
  EXPECT_EQ(run.items[0].type, "jpg");
  EXPECT_EQ(run.items[0].original, "movie.v1-non-standard");

  // A size that misses the EOI drops the candidate; it is not walked as a
  // stand-alone image either.
  const std::string wrong =
      Filler(30, 4) + tag(static_cast<uint32_t>(jpeg.size() - 1)) + Filler(30, 8);
  EXPECT_EQ(RunOnePass(kJPEG, wrong).count, 0);
}

TEST_F(JpegFiles, ExtendedDetectionTakesTodaysFilesWhole) {
  // A CMYK JPEG carrying a 187 KB ICC profile in APP2 segments of 0xFFFF
  // bytes, and an image whose EXIF thumbnail exiftool wrote.
  const std::string cmyk =
      Convert(*dir_,
              "-size 64x48 gradient:red-blue -profile /usr/share/color/icc/ghostscript/srgb.icc "
              "-profile /usr/share/color/icc/ghostscript/default_cmyk.icc",
              "cmyk.jpg");
  const std::string thumb = Convert(*dir_, "-size 80x60 gradient:green-white", "thumb.jpg");
  Convert(*dir_, "-size 320x240 gradient:red-blue", "photo.jpg");
  Shell("exiftool -q -overwrite_original '-ThumbnailImage<=" + pathFor("thumb.jpg") + "' '" +
        pathFor("photo.jpg") + "'");
  const std::string photo = ReadFile(*dir_ / "photo.jpg");
  const size_t inner = photo.find(thumb);
  ASSERT_NE(inner, std::string::npos);
  // Padding as MP3 cover art and camera files have it, then the next image.
  const std::string& baseline = file("baseline");
  const std::string body = Filler(40, 1) + cmyk + Fill(16, '\xFF') + baseline + baseline +
                           Filler(40, 2) + photo + Filler(40, 3);

  const PassRun classic = RunOnePass(kJPEG, body, "/in/album.mp3");
  for (const Reported& item : classic.items) EXPECT_NE(item.bytes, cmyk);
  const PassRun run = RunOnePass(kJPEG, body, "/in/album.mp3", true);
  std::vector<std::string> bytes, names;
  for (const Reported& item : run.items) {
    bytes.push_back(item.bytes);
    names.push_back(item.original);
    EXPECT_EQ(item.type, "jpg");
  }
  EXPECT_EQ(bytes, (std::vector<std::string>{cmyk, baseline, baseline, photo, thumb}));
  EXPECT_EQ(names, (std::vector<std::string>{"/in/album.mp3", "/in/album.mp3", "/in/album.mp3",
                                             "/in/album.mp3", "album-thumbnail"}));
  EXPECT_EQ(run.items[4].foundNo, 4);
  EXPECT_EQ(run.items[4].from, 40 + cmyk.size() + 16 + 2 * baseline.size() + 40 + inner);
}

TEST_F(JpegFiles, ExtendedDetectionFindsDefineBitsJPEG2AndJPEG4) {
  const std::string& jpeg = file("other");
  const std::string alpha = Hex("78 9C 63 60 00 00 00 02 00 01");
  const auto size = static_cast<uint32_t>(jpeg.size());
  const std::string jpeg2 = Hex("7F 05") + LE32(size + 2) + LE16(3) + jpeg;
  const std::string jpeg2Erroneous =
      Hex("7F 05") + LE32(size + 6) + LE16(4) + Hex("FF D9 FF D8") + jpeg;
  const std::string jpeg4 = Hex("BF 16") + LE32(size + 8 + static_cast<uint32_t>(alpha.size())) +
                            LE16(5) + LE32(size) + LE16(0x0100) + jpeg + alpha;
  const std::string body =
      Filler(30, 4) + jpeg2 + Filler(9, 5) + jpeg2Erroneous + Filler(9, 6) + jpeg4 + Filler(30, 7);
  const PassRun run = RunOnePass(kJPEG, body, "/in/movie.swf", true);
  ASSERT_EQ(run.items.size(), 3u);
  for (const Reported& item : run.items) EXPECT_EQ(item.bytes, jpeg);
  EXPECT_EQ(run.items[0].original, "/in/movie.swf");
  EXPECT_EQ(run.items[1].original, "/in/movie.swf");
  EXPECT_EQ(run.items[2].original, "movie-non-standard");
  // Without the switch the tags are not read: the JPEG data is walked as it
  // stands, and named after the movie.
  const PassRun classic = RunOnePass(kJPEG, body, "/in/movie.swf");
  ASSERT_EQ(classic.items.size(), 3u);
  EXPECT_EQ(classic.items[2].original, "/in/movie.swf");
}

TEST(JpegWalk, CraftedChainsAreWalkedOnce) {
  // Each cell is an SOI and an APP1 segment that ends where the next cell
  // starts, so the walk from every candidate would go through all later
  // cells before it is dropped; from the second cell on it joins the path
  // of the one before and stops there.
  auto crafted = [](int cells) {
    std::string s;
    for (int i = 0; i < cells; ++i) s += Hex("FF D8 FF E1 00 02");
    return s + Fill(16) + kApp0Image + Fill(100);
  };
  for (const bool extended : {false, true}) {
    for (const int cells : {10, 4000, 40000}) {
      SCOPED_TRACE(cells);
      const std::string bytes = crafted(cells);
      const uint64_t before = tImageWalkWork;
      EXPECT_EQ(SpansOf(RunOnePass(kJPEG, bytes, "/in/src.bin", extended)),
                (Spans{{bytes.size() - 100 - kApp0Image.size(), kApp0Image.size()}}));
      EXPECT_LT(tImageWalkWork - before, bytes.size());
    }
  }
}

TEST(JpegWalk, PathOfADroppedWalkStillEndsAnImageAfterAnAPP0) {
  // Walk A (SOI at 0) skips over candidate B with an APP1 segment, then
  // goes through a chain of APP1 segments to an EOI: no SOS or APP0 came
  // first, so A is dropped and its path is recorded. B's APP0 segment and
  // a fill byte lead onto A's path at 14; having met an APP0, B ends in an
  // image at the same EOI.
  std::string chain;
  for (int i = 0; i < 40; ++i) chain += Hex("FF E1 00 02");
  const std::string walkA = Hex("FF D8 FF E1 00 0A FF D8 FF E0 00 02 FF 00") + chain + Hex("FF D9");
  const std::string bytes = Fill(40) + walkA + Fill(60);
  EXPECT_EQ(SpansOf(RunOnePass(kJPEG, bytes)), (Spans{{40 + 6, walkA.size() - 6}}));
  // Without B's APP0 both walks end at the EOI without having met one.
  std::string noApp0 = bytes;
  noApp0[40 + 9] = '\xE1';
  EXPECT_EQ(SpansOf(RunOnePass(kJPEG, noApp0)), Spans{});
}

// The same kinds of stream under both rule sets: what extended detection
// changes, and what it keeps.
TEST(JpegWalk, ExtendedRulesAgainstClassicOnes) {
  const std::string image = Hex("FF D8 FF DB 00 04 11 22 FF DA 00 02 33 FF 00 44 FF D9");  // 18
  struct Row {
    const char* name;
    std::string bytes;
    Spans classic, extended;
  };
  const std::string f50 = Fill(50), f60 = Fill(60);
  const std::vector<Row> rows = {
      {"EOI followed by fill bytes", f50 + image + Fill(8, '\xFF') + f60, {}, {{50, 18}}},
      {"two images back to back", f50 + image + image + f60, {{50, 36}}, {{50, 18}, {68, 18}}},
      {"cut in its scan data, then a whole image",
       f50 + image.substr(0, 14) + image + f60,
       {{50, 32}},
       {{64, 18}}},
      {"a segment length whose first byte is FF",
       f50 + Hex("FF D8 FF E2 FF 02") + Fill(0xFF00, 'i') + Hex("FF DA 00 02 55 FF D9") + f60,
       {},
       {{50, 0xFF00 + 13}}},
      {"inline tables: tables EOI SOI image EOI",
       f50 + Hex("FF D8 FF DB 00 04 11 22 FF D9") + image + f60,
       {{50, 28}},
       {{50, 28}}},
      {"tables only", f50 + Hex("FF D8 FF DB 00 04 11 22 FF D9") + f60, {}, {}},
      {"fill bytes before a marker",
       f50 + Hex("FF D8 FF FF FF E0 00 04 AA BB FF D9") + f60,
       {{50, 12}},
       {{50, 12}}},
      {"restart markers in the scan data",
       f50 + Hex("FF D8 FF DA 00 02 11 FF D0 22 FF D7 33 FF FF D9") + f60,
       {{50, 16}},
       {{50, 16}}},
      {"an SOI inside the segments drops the outer candidate",
       f50 + Hex("FF D8 FF DB 00 02 FF D8 FF E0 00 04 AA BB FF D9") + f60,
       {{50, 16}},
       {{56, 10}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(SpansOf(RunOnePass(kJPEG, r.bytes)), r.classic);
    EXPECT_EQ(SpansOf(RunOnePass(kJPEG, r.bytes, "/in/src.bin", true)), r.extended);
  }
}

TEST(JpegWalk, StopEndsThePassAfterTheCurrentCandidate) {
  StrellController controller;
  int seen = 0;
  controller.setSaveObserverForTesting(
      [&](const Buffer&, uint64_t, uint64_t, std::string_view, std::string_view, int32_t, ItemEnd) {
        ++seen;
        controller.stopStrelling();
      });
  const std::string body = Fill(50) + kApp0Image + Fill(5) + kApp0Image + Fill(50);
  EXPECT_EQ(RunPass(controller, strellbox::strellJPEG, Bytes(body), "x"), 1);
  EXPECT_EQ(seen, 1);
}

}  // namespace
}  // namespace strellbox::test
