// The WebP and TIFF passes: real files from ImageMagick measured exactly
// inside other data, and the malformed and hostile headers each walk must
// pass over.
#include <gtest/gtest.h>

#include <array>

#include "extractors/image_scan.h"
#include "extractors/image_test_util.h"

namespace strellbox::test {
namespace {

using namespace std::string_literals;

const Pass kWebP = &strellWebP;
const Pass kTIFF = &strellTIFF;

// Bytes that hold neither "RIFF" nor "II" nor "MM".
std::string Filler(size_t n) { return std::string(n, '.'); }

// The item spans of each file laid out with filler around it.
struct Laid {
  std::string bytes;
  Spans spans;
};
Laid Lay(const std::vector<std::string>& files) {
  Laid l{Filler(37), {}};
  for (const std::string& f : files) {
    l.spans.emplace_back(l.bytes.size(), f.size());
    l.bytes += f + Filler(23);
  }
  return l;
}

TEST(WebP, RealFilesAreMeasuredByTheirChunks) {
  TempDir dir;
  const std::string lossy = Convert(dir, "-size 40x30 gradient:red-blue -quality 80", "a.webp");
  const std::string lossless =
      Convert(dir, "-size 40x30 gradient:red-blue -define webp:lossless=true", "b.webp");
  const std::string withProfile = Convert(
      dir, "-size 40x30 gradient:red-blue -profile /usr/share/color/icc/ghostscript/srgb.icc",
      "c.webp");
  // ImageMagick 6 writes the animation (VP8X, ANIM, ANMF frames) and then
  // the last frame again as a file of its own.
  const std::string animation =
      Convert(dir, "-delay 10 -size 40x30 gradient:red-blue gradient:blue-green", "d.webp");
  ASSERT_EQ(withProfile.substr(12, 4), "VP8X");
  ASSERT_EQ(animation.substr(30, 4), "ANIM");
  const uint64_t first = Bytes(animation).le32(4) + 8;
  const Laid laid = Lay({lossy, lossless, withProfile, animation});
  Spans expected(laid.spans.begin(), laid.spans.end() - 1);
  expected.emplace_back(laid.spans.back().first, first);
  expected.emplace_back(laid.spans.back().first + first, animation.size() - first);
  const PassRun run = RunOnePass(kWebP, laid.bytes);
  EXPECT_EQ(SpansOf(run), expected);
  for (const Reported& item : run.items) EXPECT_EQ(item.type, "webp");

  const PassRun whole = RunOnePass(kWebP, withProfile);
  EXPECT_TRUE(whole.atomic);

  // Malformed: each is passed over, the image in front of it found.
  auto patched = [&](uint64_t at, const std::string& bytes) {
    std::string s = lossy;
    s.replace(at, bytes.size(), bytes);
    return s;
  };
  const std::vector<std::pair<const char*, std::string>> broken = {
      {"RIFF size 0xFFFFFFFF", patched(4, LE32(0xFFFFFFFF))},
      {"RIFF size past the chunks", patched(4, LE32(static_cast<uint32_t>(lossy.size())))},
      {"odd RIFF size", patched(4, LE32(static_cast<uint32_t>(lossy.size() - 9)))},
      {"first chunk not an image", patched(12, "ICCP")},
      {"VP8 frame without its start code", patched(23, std::string(1, '\0'))},
      {"cut short", lossy.substr(0, lossy.size() - 10)},
  };
  for (const auto& [name, bytes] : broken) {
    SCOPED_TRACE(name);
    const std::string data = Filler(40) + lossless + Filler(40) + bytes;
    EXPECT_EQ(SpansOf(RunOnePass(kWebP, data)), (Spans{{40, lossless.size()}}));
  }
}

// A hand-made little-endian TIFF: header, then one directory per entry of
// `directories` (each a list of tag, type, count, value), laid one after
// the other from offset 8, each linked to the next unless `next` says.
std::string Directory(const std::vector<std::array<uint32_t, 4>>& entries, uint32_t next) {
  std::string d = LE16(static_cast<uint16_t>(entries.size()));
  for (const auto& e : entries)
    d += LE16(static_cast<uint16_t>(e[0])) + LE16(static_cast<uint16_t>(e[1])) + LE32(e[2]) +
         LE32(e[3]);
  return d + LE32(next);
}

TEST(TIFF, RealFilesAreMeasuredByTheirDirectories) {
  TempDir dir;
  const std::string recipe = "-size 40x30 gradient:red-blue";
  const std::string little =
      Convert(dir, recipe + " -define tiff:endian=lsb -compress None", "le.tiff");
  const std::string big =
      Convert(dir, recipe + " -define tiff:endian=msb -compress LZW", "be.tiff");
  const std::string bigTiff = Convert(dir, recipe, "big.tiff", "TIFF64");
  const std::string pages =
      Convert(dir, "-size 40x30 gradient:red-blue gradient:green-white -compress LZW", "two.tiff");
  ASSERT_EQ(little.substr(0, 4), "II*\0"s);
  ASSERT_EQ(big.substr(0, 4), "MM\0*"s);
  ASSERT_EQ(bigTiff.substr(0, 4), "II+\0"s);
  const Laid laid = Lay({little, big, bigTiff, pages});
  const PassRun run = RunOnePass(kTIFF, laid.bytes);
  EXPECT_EQ(SpansOf(run), laid.spans);
  for (const Reported& item : run.items) EXPECT_EQ(item.type, "tiff");
  EXPECT_TRUE(RunOnePass(kTIFF, big).atomic);

  // The TIFF inside a JPEG's EXIF segment is metadata, not an image file.
  const std::string jpeg = Convert(dir, "-size 40x30 gradient:red-blue", "e.jpg");
  Shell("exiftool -q -overwrite_original -Make=Test '-ThumbnailImage<=" + (dir / "e.jpg").string() +
        "' '" + (dir / "e.jpg").string() + "'");
  EXPECT_EQ(RunOnePass(kTIFF, Filler(40) + ReadFile(dir / "e.jpg") + Filler(40)).count, 0);
}

TEST(TIFF, RawFilesDirectoryLoopsAndHostileCounts) {
  // A raw file's shape: IFD0 with a small preview strip, a sub-directory
  // with the large raw strip behind it, and an EXIF directory.
  const uint32_t ifd0 = 8, sub = 8 + 2 + 6 * 12 + 4, exif = sub + 2 + 4 * 12 + 4;
  const uint32_t preview = exif + 2 + 12 + 4, raw = preview + 16;
  std::string file = "II*\0"s + LE32(ifd0);
  file += Directory({{256, 3, 1, 4},
                     {257, 3, 1, 4},
                     {273, 4, 1, preview},
                     {279, 4, 1, 16},
                     {330, 4, 1, sub},
                     {34665, 4, 1, exif}},
                    0);
  file += Directory({{256, 3, 1, 100}, {257, 3, 1, 10}, {273, 4, 1, raw}, {279, 4, 1, 3000}}, 0);
  file += Directory({{33434, 5, 1, raw}}, 0);
  ASSERT_EQ(file.size(), preview);
  file += Fill(16, 'p') + Fill(3000, 'r');
  EXPECT_EQ(SpansOf(RunOnePass(kTIFF, Filler(40) + file + Filler(40))), (Spans{{40, file.size()}}));

  struct Row {
    const char* name;
    std::string bytes;
  };
  const std::string strip = Fill(64, 's');
  auto one = [&](uint32_t next) {
    return "II*\0"s + LE32(8) +
           Directory({{256, 3, 1, 8}, {257, 3, 1, 8}, {273, 4, 1, 62}, {279, 4, 1, 64}}, next);
  };
  const std::string selfLoop = one(8) + strip;  // its next directory is itself
  const std::string tooMany = "II*\0"s + LE32(8) + LE16(0xFFFF) + Fill(200);
  const std::string bigCount =
      "II+\0"s + LE16(8) + LE16(0) + LE32(16) + LE32(0) + LE32(0xFFFFFFFF) + LE32(0) + Fill(200);
  const std::string stripPastTheEnd =
      "II*\0"s + LE32(8) +
      Directory({{256, 3, 1, 8}, {257, 3, 1, 8}, {273, 4, 1, 62}, {279, 4, 1, 0x7FFFFFFF}}, 0) +
      strip;
  const std::string noImage = "II*\0"s + LE32(8) + Directory({{256, 3, 1, 8}}, 0) + strip;
  EXPECT_EQ(SpansOf(RunOnePass(kTIFF, Filler(40) + selfLoop + Filler(40))),
            (Spans{{40, selfLoop.size()}}));
  for (const Row& r : std::vector<Row>{{"2^16 - 1 entries", tooMany},
                                       {"BigTIFF: 2^32 - 1 entries", bigCount},
                                       {"a strip past the end", stripPastTheEnd},
                                       {"no image data", noImage}}) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(RunOnePass(kTIFF, Filler(40) + r.bytes + Filler(40)).count, 0);
  }

  // Directories that all point at one another cost linear work.
  std::string ring = "II*\0"s + LE32(8);
  for (uint32_t i = 0; i < 3000; ++i) {
    const uint32_t at = 8 + i * 18;
    ring += Directory({{256, 3, 1, 8}}, i + 1 < 3000 ? at + 18 : 8);
  }
  std::string flood;
  while (flood.size() < (1u << 20)) flood += ring;
  const uint64_t before = tImageWalkWork;
  RunOnePass(kTIFF, flood);
  EXPECT_LE(tImageWalkWork - before, WalkBudget::kWalkWorkPerByte * flood.size() + 8192);
}

TEST(WebPAndTIFF, RowsRunWithExtendedDetectionOnly) {
  TempDir dir;
  const std::string webp = Convert(dir, "-size 40x30 gradient:red-blue", "a.webp");
  const std::string tiff = Convert(dir, "-size 40x30 gradient:red-blue", "a.tiff");
  for (const bool extended : {false, true}) {
    StrellController c;
    c.setExtendedDetection(extended);
    ItemRecorder rec(c);
    c.strellData(Bytes(Filler(40) + webp + Filler(40) + tiff + Filler(40)), "/in/both.bin");
    std::vector<std::string> types;
    for (const Reported& item : rec.items())
      if (item.type == "webp" || item.type == "tiff") types.push_back(item.type);
    EXPECT_EQ(types,
              extended ? (std::vector<std::string>{"webp", "tiff"}) : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace strellbox::test
