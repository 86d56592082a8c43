#include <gtest/gtest.h>

#include "extractors/image_scan.h"
#include "extractors/image_test_util.h"

namespace strellbox::test {
namespace {

const Pass kGIF = &strellGIF;
const Pass kPNG = &strellPNG;

// --- GIF -----------------------------------------------------------------------

// Signature and logical screen descriptor with the given packed fields.
std::string GifHeader(uint8_t packed = 0, const char* version = "89a") {
  return std::string("GIF") + version + Hex("01 00 01 00") + static_cast<char>(packed) +
         Hex("00 00");
}
const std::string kTrailer = Hex("3B");
// An image descriptor without a local colour table, its code size and one
// data sub-block.
const std::string kImage = Hex("2C 00 00 00 00 01 00 01 00 00 02 02 4C 01 00");

TEST(GifWalk, HandMadeStreams) {
  const std::string minimal = GifHeader() + kTrailer;  // 14 bytes
  const std::string longGif = GifHeader() + Hex("21 FE 50") + Fill(80, 'c') + Hex("00") + kTrailer;
  CheckSpans(
      kGIF,
      {
          {"100-byte buffer is not read", "", minimal, Fill(86), {}, false},
          {"101-byte buffer is scanned", "", minimal, Fill(87), {{0, 14}}, false},
          {"header and trailer: 14 bytes", Fill(40), minimal, Fill(60), {{0, 14}}, false},
          {"global colour table of 2^(k+1) entries",
           Fill(40),
           GifHeader(0x81) + Fill(12, 'x') + kTrailer,
           Fill(60),
           {{0, 26}},
           false},
          {"GIF87a", Fill(40), GifHeader(0, "87a") + kTrailer, Fill(60), {{0, 14}}, false},
          {"GIF88a is no signature", Fill(40), GifHeader(0, "88a") + kTrailer, Fill(60), {}, false},
          {"empty comment takes three bytes",
           Fill(40),
           GifHeader() + Hex("21 FE 00") + kTrailer,
           Fill(60),
           {{0, 17}},
           false},
          {"comment sub-blocks",
           Fill(40),
           GifHeader() + Hex("21 FE 02 61 62 01 63 00") + kTrailer,
           Fill(60),
           {{0, 22}},
           false},
          // Other extensions pass over their first sub-block unread: its
          // bytes (here 00) are not taken for a terminator.
          {"graphic control extension",
           Fill(40),
           GifHeader() + Hex("21 F9 04 00 00 00 00 00") + kImage + kTrailer,
           Fill(60),
           {{0, 37}},
           false},
          {"image with a local colour table",
           Fill(40),
           GifHeader() + Hex("2C 00 00 00 00 01 00 01 00 80") + Fill(6, 'x') +
               Hex("02 02 4C 01 00") + kTrailer,
           Fill(60),
           {{0, 35}},
           false},
          {"unknown block drops the image",
           Fill(40),
           GifHeader() + Hex("99") + kTrailer,
           Fill(60),
           {},
           false},
          {"a GIF within 16 bytes of a dropped one is not found",
           Fill(40),
           GifHeader() + Hex("99") + minimal,
           Fill(60),
           {},
           false},
          {"a GIF 16 bytes after a dropped one is found",
           Fill(40),
           GifHeader() + Hex("99 00 00") + minimal,
           Fill(60),
           {{16, 14}},
           false},
          {"bytes after the trailer are searched again",
           Fill(40),
           minimal + minimal,
           Fill(60),
           {{0, 14}, {14, 14}},
           false},
          {"sub-blocks running off the end",
           Fill(80),
           GifHeader() + Hex("21 FE 7F") + Fill(20, 'z'),
           "",
           {},
           false},
          {"extension introducer in the last byte",
           Fill(90),
           GifHeader() + Hex("21"),
           "",
           {},
           false},
          {"comment introducer in the last two bytes",
           Fill(90),
           GifHeader() + Hex("21 FE"),
           "",
           {},
           false},
          {"image descriptor cut off",
           Fill(90),
           GifHeader() + Hex("2C 00 00 00 00 01"),
           "",
           {},
           false},
          {"screen descriptor cut off", Fill(100), "GIF89a" + Hex("01 00"), Fill(1), {}, false},
          {"whole buffer with 7 trailing bytes", "", longGif, Fill(7), {{0, 98}}, true},
          {"8 trailing bytes are not the whole buffer", "", longGif, Fill(8), {{0, 98}}, false},
          {"a leading byte is not the whole buffer", Fill(1), longGif, Fill(3), {{0, 98}}, false},
      },
      "gif");
}

TEST(GifWalk, RealGifsFromImageMagick) {
  TempDir dir;
  // ImageMagick's GIF writer takes about a second per image here: two runs.
  const std::string commented = Convert(
      dir, "-size 16x16 gradient: -write 'GIF87:" + (dir / "o.gif").string() + "' -set comment hi",
      "c.gif");
  const std::vector<std::string> gifs = {
      ReadFile(dir / "o.gif"),
      commented,
      Convert(dir, "-delay 10 -size 16x16 xc:red xc:blue -interlace GIF -loop 0", "anim.gif"),
  };
  ASSERT_EQ(gifs[0].substr(0, 6), "GIF87a");
  ASSERT_NE(gifs[1].find(Hex("21 FE 02") + "hi"), std::string::npos);
  std::string buffer = Fill(33, 'q');
  Spans expected;
  for (const auto& g : gifs) {
    ASSERT_GT(g.size(), 20u);
    expected.emplace_back(buffer.size(), g.size());
    buffer += g + Fill(5, 'q');
  }
  EXPECT_EQ(SpansOf(RunOnePass(kGIF, buffer)), expected);

  const PassRun whole = RunOnePass(kGIF, gifs[1]);
  EXPECT_EQ(SpansOf(whole), (Spans{{0, gifs[1].size()}}));
  EXPECT_TRUE(whole.atomic);
}

TEST(GifWalk, CraftedChainsAreWalkedOnce) {
  // Each cell is a header and a comment whose first sub-block reaches the
  // size byte of the next cell, so the walk from every candidate would go
  // through all later cells; the walk from the second cell on joins the path
  // of the one before and stops there.
  auto crafted = [](int cells) {
    std::string s;
    for (int i = 0; i < cells; ++i) s += GifHeader() + Hex("21 FE 0F");
    return s + Fill(16) + GifHeader() + kTrailer + Fill(100);
  };
  for (const int cells : {10, 3000, 30000}) {
    SCOPED_TRACE(cells);
    const std::string bytes = crafted(cells);
    const uint64_t before = tImageWalkWork;
    // The image after the chain is found however long the chain is.
    EXPECT_EQ(SpansOf(RunOnePass(kGIF, bytes)),
              (Spans{{bytes.size() - 100 - 14, GifHeader().size() + 1}}));
    EXPECT_LT(tImageWalkWork - before, bytes.size() / 4 + 100);
  }
}

// --- PNG -----------------------------------------------------------------------

const std::string kPNGSignature = Hex("89 50 4E 47 0D 0A 1A 0A");

std::string Chunk(const std::string& type, const std::string& data) {
  return BE32(static_cast<uint32_t>(data.size())) + type + data + Fill(4, 'C');
}
std::string HandPng(const std::string& extra = "") {
  return kPNGSignature + Chunk("IHDR", Fill(13, 'h')) + extra + Chunk("IEND", "");
}

TEST(PngWalk, HandMadeStreams) {
  const std::string png = HandPng();                                  // 8 + 25 + 12 = 45 bytes
  const std::string longPng = HandPng(Chunk("tEXt", Fill(60, 't')));  // 117 bytes
  // A PNG cut short: its IDAT length reaches past whatever follows.
  const std::string truncated =
      kPNGSignature + Chunk("IHDR", Fill(13, 'h')) + BE32(0x7FFFFFF0) + "IDAT" + Fill(10, 'd');
  CheckSpans(
      kPNG,
      {
          {"100-byte buffer is not read", "", png, Fill(55), {}, false},
          {"101-byte buffer is scanned", "", png, Fill(56), {{0, 45}}, false},
          {"first chunk need not be IHDR",
           Fill(40),
           kPNGSignature + Chunk("abcd", "xyz") + Chunk("IEND", ""),
           Fill(60),
           {{0, 35}},
           false},
          {"IEND length field is not read",
           Fill(40),
           kPNGSignature + BE32(5) + "IEND" + Fill(4, 'C'),
           Fill(60),
           {{0, 20}},
           false},
          {"a PNG after a PNG", Fill(40), png + png, Fill(60), {{0, 45}, {45, 45}}, false},
          {"IEND cut short at the end",
           Fill(90),
           kPNGSignature + BE32(0) + "IEND" + "CR",
           "",
           {},
           false},
          {"chunk header cut short at the end",
           Fill(90),
           kPNGSignature + BE32(0) + "ab",
           "",
           {},
           false},
          // A dropped candidate no longer ends the pass.
          {"a PNG after a truncated one is found",
           Fill(40),
           truncated + Fill(3) + png,
           Fill(60),
           {{truncated.size() + 3, 45}},
           false},
          {"search resumes right behind a dropped signature",
           Fill(40),
           kPNGSignature + png,
           Fill(60),
           {{8, 45}},
           false},
          {"whole buffer with 7 trailing bytes", "", longPng, Fill(7), {{0, 117}}, true},
          {"8 trailing bytes are not the whole buffer", "", longPng, Fill(8), {{0, 117}}, false},
          {"a leading byte is not the whole buffer", Fill(1), longPng, "", {{0, 117}}, false},
      },
      "png");
}

TEST(PngWalk, RealPngsFromImageMagick) {
  TempDir dir;
  const std::vector<std::string> pngs = {
      Convert(dir, "-size 40x30 gradient:red-blue", "a.png"),
      Convert(dir, "-size 20x20 xc:none -fill red -draw 'circle 10,10 5,5'", "alpha.png"),
      Convert(dir, "-size 16x16 gradient: -interlace PNG -set comment hi", "i.png"),
  };
  // The middle one is cut off, which must not hide the last.
  const std::string cut = pngs[1].substr(0, pngs[1].size() / 2);
  const std::string buffer = Fill(21, 'q') + pngs[0] + Fill(3, 'q') + cut + pngs[2] + Fill(9, 'q');
  const uint64_t last = 21 + pngs[0].size() + 3 + cut.size();
  EXPECT_EQ(SpansOf(RunOnePass(kPNG, buffer)),
            (Spans{{21, pngs[0].size()}, {last, pngs[2].size()}}));

  const PassRun whole = RunOnePass(kPNG, pngs[1]);
  EXPECT_EQ(SpansOf(whole), (Spans{{0, pngs[1].size()}}));
  EXPECT_TRUE(whole.atomic);
}

TEST(PngWalk, CraftedChainsAreWalkedOnce) {
  // Each cell is a signature and a chunk header; the chunk's data and CRC
  // cover the next cell's signature, and the next chunk header is the next
  // cell's. So the walk from every candidate would go through all later
  // cells, then fly off the end; from the second cell on it joins the path
  // of the one before and stops there.
  auto crafted = [](int cells) {
    std::string s;
    for (int i = 0; i < cells; ++i) s += kPNGSignature + BE32(8) + "abcd" + Fill(4, 'f');
    return s + Fill(8, 'f') + BE32(0x7FFFFFF0) + "junk" + Fill(16) + HandPng() + Fill(100);
  };
  for (const int cells : {10, 3000, 30000}) {
    SCOPED_TRACE(cells);
    const std::string bytes = HandPng() + crafted(cells);
    const uint64_t before = tImageWalkWork;
    EXPECT_EQ(SpansOf(RunOnePass(kPNG, bytes)), (Spans{{0, 45}, {bytes.size() - 100 - 45, 45}}));
    EXPECT_LT(tImageWalkWork - before, bytes.size() / 4 + 100);
  }
}

}  // namespace
}  // namespace strellbox::test
