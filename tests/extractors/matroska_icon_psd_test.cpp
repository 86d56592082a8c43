// The Matroska, icon and PSD passes: files from real writers (ffmpeg and
// mkvmerge for Matroska and WebM, with attachments and with sizes left
// open; ImageMagick and icotool for icons and cursors; ImageMagick for
// layered PSD files, run-length and raw) measured exactly alone and at odd
// offsets in random bytes, attachments written whole; icon entries that do
// not check; hostile inputs that must cost linear work and leave a real
// file behind them found; the rows run with extended detection only.
#include <gtest/gtest.h>

#include "engine/carve.h"
#include "extractors/image_test_util.h"

namespace strellbox::test {
namespace {

struct RealFile {
  const char* name;
  const char* command;  // makes `name` in a folder holding cover.jpg, a.png and b.png
  Pass pass;
  const char* type;
  ItemEnd end;
  bool cover;  // carries cover.jpg as an attachment
};

#define VIDEO "ffmpeg -v error -f lavfi -i testsrc=d=1:size=64x48:rate=5 -f lavfi -i sine=d=1 "
#define ATTACH "-attach cover.jpg -metadata:s:t mimetype=image/jpeg "
const RealFile kRealFiles[] = {
    {"a.mkv", VIDEO ATTACH "a.mkv", &strellMatroska, "mkv", ItemEnd::kLength, true},
    {"vp8.webm", VIDEO "-c:v libvpx -c:a libvorbis vp8.webm", &strellMatroska, "webm",
     ItemEnd::kLength, false},
    // Written to a pipe: the Segment's size is left open.
    {"vp9.webm", "(" VIDEO "-c:v libvpx-vp9 -c:a libopus -f webm -live 1 pipe:1 > vp9.webm)",
     &strellMatroska, "webm", ItemEnd::kWalk, false},
    {"piped.mkv", "(" VIDEO ATTACH "-f matroska pipe:1 > piped.mkv)", &strellMatroska, "mkv",
     ItemEnd::kWalk, true},
    {"sound.mka", "ffmpeg -v error -f lavfi -i sine=d=1 -c:a flac sound.mka", &strellMatroska,
     "mka", ItemEnd::kLength, false},
    {"merged.mkv",
     VIDEO "-c:v libvpx -c:a libvorbis v.webm && mkvmerge -q -o merged.mkv "
           "--attachment-mime-type image/jpeg --attach-file cover.jpg v.webm",
     &strellMatroska, "mkv", ItemEnd::kLength, true},
    {"sizes.ico",
     "convert a.png \\( +clone -resize 256x256! \\) \\( +clone -resize 16x16 \\) sizes.ico",
     &strellIcon, "ico", ItemEnd::kLength, false},
    {"icotool.ico", "convert a.png PNG32:c.png && icotool -c -o icotool.ico c.png", &strellIcon,
     "ico", ItemEnd::kLength, false},
    {"icotool.cur",
     "convert a.png PNG32:c.png && icotool -c --cursor --hotspot-x=3 --hotspot-y=5 "
     "-o icotool.cur c.png",
     &strellIcon, "cur", ItemEnd::kLength, false},
    {"layers-rle.psd", "convert a.png b.png -compress RLE layers-rle.psd", &strellPSD, "psd",
     ItemEnd::kWalk, false},
    {"layers-raw.psd", "convert a.png b.png -compress none layers-raw.psd", &strellPSD, "psd",
     ItemEnd::kWalk, false},
    {"grey8.psd", "convert a.png -colorspace gray -depth 8 grey8.psd", &strellPSD, "psd",
     ItemEnd::kWalk, false},
};
#undef VIDEO
#undef ATTACH

TEST(MatroskaIconPsd, RealFilesAloneAndAtOddOffsetsWithTheirAttachments) {
  TempDir dir;
  const std::string cover = Convert(dir, "-size 48x32 gradient:red-blue", "cover.jpg");
  Convert(dir, "-size 40x30 gradient:red-blue", "a.png");
  Convert(dir, "-size 40x30 plasma:fractal -seed 3", "b.png");
  for (const RealFile& f : kRealFiles) {
    SCOPED_TRACE(f.name);
    const std::string bytes = MadeBy(dir, f.command, f.name);
    ASSERT_GT(bytes.size(), 300u);
    const std::string laid = SeededBytes(1001, 1) + bytes + SeededBytes(777, 2);
    for (const auto& [data, at] :
         {std::pair{bytes, uint64_t{0}}, std::pair{laid, uint64_t{1001}}}) {
      const PassRun run = RunOnePass(f.pass, data, "/in/media.bin");
      std::vector<std::string> files, attachments;
      for (const Reported& item : run.items) {
        if (item.original == "/in/media-cover.jpg") {
          attachments.push_back(item.bytes);
          EXPECT_EQ(item.type, "jpg");
          continue;
        }
        files.push_back(item.bytes);
        EXPECT_EQ(item.from, at);
        EXPECT_EQ(item.type, f.type);
        EXPECT_EQ(item.end, f.end);
      }
      EXPECT_TRUE(files.size() == 1 && files[0] == bytes) << files.size();
      EXPECT_EQ(attachments,
                f.cover ? std::vector<std::string>{cover} : std::vector<std::string>{});
      // A PSD leaves its buffer to the other passes (its JPEG thumbnail).
      EXPECT_EQ(run.atomic, at == 0 && f.pass != &strellPSD);
    }
  }
}

// Each change makes one entry of a real icon wrong in one way: the file is
// then no item.
TEST(MatroskaIconPsd, IconEntriesThatDoNotCheckAreNoIcon) {
  TempDir dir;
  Convert(dir, "-size 40x30 gradient:red-blue", "a.png");
  // Entry 0 a 256 × 256 PNG, entry 1 a 16 × 16 bitmap.
  const std::string icon = MadeBy(
      dir,
      "convert a.png \\( +clone -resize 256x256! \\) \\( +clone -resize 16x16! \\) -delete 0 i.ico",
      "i.ico");
  ASSERT_EQ(icon.substr(0, 6), std::string("\0\0\1\0\2\0", 6));
  const uint32_t bitmapAt = static_cast<uint8_t>(icon[22 + 12]) |
                            (static_cast<uint8_t>(icon[22 + 13]) << 8) |
                            (static_cast<uint8_t>(icon[22 + 14]) << 16);
  const auto set = [&](size_t at, const std::string& bytes) {
    std::string changed = icon;
    changed.replace(at, bytes.size(), bytes);
    return changed;
  };
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"type 3", set(2, std::string("\3", 1))},
      {"no entries", set(4, std::string("\0\0", 2))},
      {"reserved byte set", set(22 + 3, "\1")},
      {"size past the end", set(22 + 8, LE32(0x7FFFFFFF))},
      {"image inside the directory", set(22 + 12, LE32(30))},
      {"bitmap not twice its stated height", set(bitmapAt + 8, LE32(16))},
      {"bitmap of 3 bits a pixel", set(bitmapAt + 14, LE16(3))},
      {"PNG of another width", set(6, "\x20")},
  };
  EXPECT_EQ(SpansOf(RunOnePass(&strellIcon, icon)), (Spans{{0, icon.size()}}));
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(SpansOf(RunOnePass(&strellIcon, bytes + Fill(64))), Spans{});
  }
}

// An EBML element header: a 4-byte ID and a size of 8 bytes (all ones:
// left open).
std::string Element(uint32_t id, uint64_t size) {
  std::string s = BE32(id);
  s += '\x01';
  for (int i = 6; i >= 0; --i) s += static_cast<char>((size >> (8 * i)) & 0xFF);
  return s;
}
constexpr uint64_t kOpen = 0x00FFFFFFFFFFFFFF;

std::string BE16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

// A PSD header and the three section lengths, as the claim says.
std::string PsdClaim(uint16_t channels, uint32_t side, uint32_t layerLength,
                     const std::string& layers, uint16_t compression) {
  return "8BPS" + BE16(1) + std::string(6, '\0') + BE16(channels) + BE32(side) + BE32(side) +
         BE16(8) + BE16(3) + BE32(0) + BE32(0) + BE32(layerLength) + layers + BE16(compression);
}

// Hostile inputs, each followed by a real file that must still be found.
TEST(MatroskaIconPsd, HostileInputsCostLinearWorkAndTheFileBehindIsFound) {
  TempDir dir;
  Convert(dir, "-size 40x30 gradient:red-blue", "a.png");
  const std::string mkv = MadeBy(dir,
                                 "ffmpeg -v error -f lavfi -i testsrc=d=0.4:size=32x24:rate=5 "
                                 "-f lavfi -i sine=d=0.4 m.mkv",
                                 "m.mkv");
  const std::string ico = MadeBy(dir, "convert a.png i.ico", "i.ico");
  const std::string psd = MadeBy(dir, "convert a.png -compress RLE p.psd", "p.psd");
  const std::string header = mkv.substr(0, mkv.find("\x18\x53\x80\x67"));
  ASSERT_LT(header.size(), 64u);

  std::string clusters = header + Element(0x18538067, kOpen), nested = clusters;
  nested += Element(0x1F43B675, kOpen);
  for (int i = 0; i < 100000; ++i) {
    clusters += Element(0x1F43B675, kOpen);
    nested += Element(0xA0, kOpen).substr(3);  // BlockGroup, left open, in BlockGroup...
  }
  // 65535 entries, each a 16 × 16 bitmap, all one image but the last.
  std::string entries;
  const uint64_t directory = 6 + 16 * 65535;
  const std::string bitmap = LE32(40) + LE32(16) + LE32(32) + LE16(1) + LE16(32) + Fill(1024 + 64);
  for (int i = 0; i < 65535; ++i)
    entries += std::string("\x10\x10\0\0\1\0\x20\0", 8) + LE32(bitmap.size()) +
               LE32(i < 65534 ? directory : 0x7FFFFFF0);
  const std::string icons = std::string("\0\0\1\0\xFF\xFF", 6) + entries + bitmap;
  std::string manyLayers = BE32(0) + BE16(65535);  // layer info claiming 65535 layers
  manyLayers += Fill(100);
  const std::vector<std::tuple<const char*, Pass, std::string, const std::string*>> hostile = {
      {"10^5 clusters of open size", &strellMatroska, clusters, &mkv},
      {"10^5 block groups of open size nested", &strellMatroska, nested, &mkv},
      {"a Segment claiming 2^56 bytes", &strellMatroska, header + Element(0x18538067, 1ull << 56),
       &mkv},
      {"an icon of 65535 entries, the last one wrong", &strellIcon, icons, &ico},
      {"PSD of 30000 x 30000, raw", &strellPSD, PsdClaim(56, 30000, 0, "", 0), &psd},
      {"PSD of 30000 x 30000, run-length", &strellPSD, PsdClaim(56, 30000, 0, "", 1), &psd},
      {"PSD of 65535 layers", &strellPSD,
       PsdClaim(3, 30000, manyLayers.size(), manyLayers, 1) + Fill(1000, '\x01'), &psd},
      {"PSD whose layer section claims 2^32 bytes", &strellPSD, PsdClaim(3, 16, 0xFFFFFFFF, "", 0),
       &psd},
  };
  for (const auto& [name, pass, bytes, real] : hostile) {
    SCOPED_TRACE(name);
    const std::string data = bytes + SeededBytes(101, 3) + *real + SeededBytes(57, 4);
    const uint64_t before = tImageWalkWork;
    const PassRun run = RunOnePass(pass, data);
    EXPECT_LE(tImageWalkWork - before, WalkBudget::kWalkWorkPerByte * data.size());
    ASSERT_FALSE(run.items.empty());
    EXPECT_EQ(run.items.back().from, bytes.size() + 101);
    EXPECT_EQ(run.items.back().length, real->size());
  }
}

TEST(MatroskaIconPsd, RowsRunWithExtendedDetectionOnly) {
  TempDir dir;
  Convert(dir, "-size 40x30 gradient:red-blue", "a.png");
  const std::string files =
      MadeBy(dir, "ffmpeg -v error -f lavfi -i sine=d=0.3 -c:a flac s.mka", "s.mka") +
      SeededBytes(40, 5) + MadeBy(dir, "convert a.png i.ico", "i.ico") + SeededBytes(40, 6) +
      MadeBy(dir, "convert a.png -compress RLE p.psd", "p.psd") + SeededBytes(40, 7);
  for (const bool extended : {false, true}) {
    StrellController c;
    c.setExtendedDetection(extended);
    ItemRecorder rec(c);
    c.strellData(Bytes(SeededBytes(40, 4) + files), "/in/media.bin");
    std::vector<std::string> types;
    for (const Reported& item : rec.items())
      if (item.type == "mka" || item.type == "ico" || item.type == "psd")
        types.push_back(item.type);
    EXPECT_EQ(types, extended ? (std::vector<std::string>{"mka", "ico", "psd"})
                              : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace strellbox::test
