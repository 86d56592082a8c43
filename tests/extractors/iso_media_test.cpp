// The ISO media pass: files from real encoders (ffmpeg, heif-enc, avifenc,
// ImageMagick) measured exactly, alone and at odd offsets in random bytes,
// named after their brands; and hostile box runs that must cost linear work
// and leave a real file behind them found.
#include <gtest/gtest.h>

#include "engine/carve.h"
#include "extractors/image_test_util.h"

namespace strellbox::test {
namespace {

const Pass kIsoMedia = &strellIsoMedia;

struct RealFile {
  const char* name;
  const char* command;
  const char* type;
};

const RealFile kRealFiles[] = {
    {"a.mp4", "ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=5 -t 0.4 -c:v libx264 a.mp4",
     "mp4"},
    {"a.mov", "ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=5 -t 0.4 a.mov", "mov"},
    {"a.m4a",
     "ffmpeg -v error -f lavfi -i sine=d=0.3 -i cover.jpg -map 0 -map 1 -c:a aac -c:v copy "
     "-disposition:v attached_pic a.m4a",
     "m4a"},
    {"a.3g2", "ffmpeg -v error -f lavfi -i sine=d=0.3 -c:a aac a.3g2", "3g2"},
    {"a.heic", "heif-enc -o a.heic cover.jpg", "heic"},
    {"a.avif", "avifenc cover.jpg a.avif", "avif"},
    {"a.jp2", "convert cover.jpg a.jp2", "jp2"},
};

TEST(IsoMedia, RealFilesAloneAndAtOddOffsetsAreMeasuredAndNamedByBrand) {
  TempDir dir;
  Convert(dir, "-size 32x32 gradient:red-blue", "cover.jpg");
  std::string laid = SeededBytes(4099, 1);
  Spans expected;
  std::vector<std::string> types;
  for (const RealFile& f : kRealFiles) {
    SCOPED_TRACE(f.name);
    const std::string bytes = MadeBy(dir, f.command, f.name);
    ASSERT_GT(bytes.size(), 100u);
    const PassRun alone = RunOnePass(kIsoMedia, bytes);
    EXPECT_EQ(SpansOf(alone), (Spans{{0, bytes.size()}}));
    EXPECT_TRUE(alone.atomic);
    ASSERT_EQ(alone.items.size(), 1u);
    EXPECT_EQ(alone.items[0].type, f.type);
    expected.emplace_back(laid.size(), bytes.size());
    types.push_back(f.type);
    laid += bytes + SeededBytes(1001 + expected.size(), static_cast<uint32_t>(expected.size() + 1));
  }
  const PassRun run = RunOnePass(kIsoMedia, laid);
  EXPECT_EQ(SpansOf(run), expected);
  std::vector<std::string> got;
  for (const Reported& item : run.items) got.push_back(item.type);
  EXPECT_EQ(got, types);
  EXPECT_FALSE(run.atomic);

  // A QuickTime movie without its ftyp box starts with wide, then mdat.
  const std::string mov = ReadFile(dir / "a.mov");
  const uint64_t ftyp = Bytes(mov).be32(0);
  ASSERT_EQ(mov.substr(ftyp + 4, 4), "wide");
  const std::string bare = mov.substr(ftyp);
  const PassRun old = RunOnePass(kIsoMedia, SeededBytes(333, 9) + bare + SeededBytes(333, 10));
  EXPECT_EQ(SpansOf(old), (Spans{{333, bare.size()}}));
  ASSERT_EQ(old.items.size(), 1u);
  EXPECT_EQ(old.items[0].type, "mov");
}

// Hostile box runs, each followed by a real file that must still be found.
TEST(IsoMedia, HostileBoxRunsCostLinearWorkAndTheFileBehindIsFound) {
  TempDir dir;
  const std::string mp4 =
      MadeBy(dir, "ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=5 -t 0.4 -c:v libx264 a.mp4",
             "a.mp4");
  const std::string ftyp = BE32(16) + "ftypisom" + BE32(0);
  auto box = [](const std::string& type, const std::string& body) {
    return BE32(static_cast<uint32_t>(body.size() + 8)) + type + body;
  };
  std::string nested = "payload!";
  std::string opening, closing;
  for (int i = 0; i < 100000; ++i) {
    opening += BE32(0) + "moov";  // sizes filled below, innermost first
  }
  // 10^5 boxes each inside the one before, sizes all exact.
  {
    std::string bytes(opening.size(), '\0');
    const uint64_t total = opening.size() + nested.size();
    for (uint64_t i = 0; i < 100000; ++i) {
      const std::string size = BE32(static_cast<uint32_t>(total - 8 * i));
      bytes.replace(8 * i, 4, size);
      bytes.replace(8 * i + 4, 4, "moov");
    }
    opening = bytes;
  }
  std::string tiny;
  tiny.reserve(80000000);
  for (int i = 0; i < 10000000; ++i) tiny += BE32(8) + "free";
  // An ftyp box inside every free box's body: each starts a walk along the
  // same chain of free boxes, which holds no content.
  std::string chain;
  for (int i = 0; i < 100000; ++i) chain += box("free", ftyp);

  const std::vector<std::pair<const char*, std::string>> hostile = {
      {"64-bit size of 2^62", ftyp + BE32(1) + "moov" + BE32(1u << 30) + BE32(0) + mp4},
      {"10^5 nested boxes", ftyp + opening + nested},
      {"10^7 eight-byte boxes without content", ftyp + tiny},
      {"ftyp boxes on one chain of free boxes", ftyp + chain},
      {"ftyp signatures with a size past the end", BE32(0xFFFFFFF0) + "ftypisom" + BE32(0)},
      {"moov at the end, cut short", mp4.substr(0, mp4.size() - 100)},
  };
  for (const auto& [name, bytes] : hostile) {
    SCOPED_TRACE(name);
    const std::string data = bytes + SeededBytes(101, 3) + mp4 + SeededBytes(57, 4);
    const uint64_t before = tImageWalkWork;
    const PassRun run = RunOnePass(kIsoMedia, data);
    EXPECT_LE(tImageWalkWork - before, data.size() / 2 + 64);
    ASSERT_FALSE(run.items.empty());
    EXPECT_EQ(run.items.back().from, bytes.size() + 101);
    EXPECT_EQ(run.items.back().length, mp4.size());
  }
}

TEST(IsoMedia, RowRunsWithExtendedDetectionOnly) {
  TempDir dir;
  const std::string mp4 =
      MadeBy(dir, "ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=5 -t 0.4 -c:v libx264 a.mp4",
             "a.mp4");
  for (const bool extended : {false, true}) {
    StrellController c;
    c.setExtendedDetection(extended);
    ItemRecorder rec(c);
    c.strellData(Bytes(SeededBytes(40, 5) + mp4 + SeededBytes(40, 6)), "/in/movie.bin");
    int32_t movies = 0;
    for (const Reported& item : rec.items()) movies += item.type == "mp4";
    EXPECT_EQ(movies, extended ? 1 : 0);
  }
}

}  // namespace
}  // namespace strellbox::test
