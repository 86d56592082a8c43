#include <gtest/gtest.h>

#include "extractors/image_test_util.h"

namespace strellbox::test {
namespace {

const Pass kBMP = &strellBMP;
const Pass kWAV = &strellWAV;

struct SizedCase {
  const char* name;
  Pass pass;
  std::string bytes;
  Spans expected;
  bool atomic;
};

void Check(const std::vector<SizedCase>& cases, bool extended = false) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PassRun run = RunOnePass(c.pass, c.bytes, "/in/src.bin", extended);
    EXPECT_EQ(SpansOf(run), c.expected);
    EXPECT_EQ(run.count, static_cast<int32_t>(c.expected.size()));
    EXPECT_EQ(run.atomic, c.atomic);
    const std::string type = c.pass == kBMP ? "bmp" : "wav";
    for (size_t i = 0; i < run.items.size(); ++i) {
      EXPECT_EQ(run.items[i].type, type);
      EXPECT_EQ(run.items[i].foundNo, static_cast<int32_t>(i));
    }
  }
}

// A bitmap header stating `size` bytes, with the given information header
// size, padded to `total` bytes.
std::string Bmp(uint32_t size, uint8_t infoSize = 40, size_t total = 20) {
  std::string s = "BM" + LE32(size) + Fill(8) + static_cast<char>(infoSize) + Fill(3);
  return s + Fill(total - s.size(), 'p');
}

// A RIFF header with the form type, padded to `total` bytes.
std::string Riff(uint32_t size, const std::string& form = "WAVE", size_t total = 12) {
  std::string s = "RIFF" + LE32(size) + form;
  return s + Fill(total - s.size(), 'w');
}

TEST(BmpWav, HandMadeHeaders) {
  Check({
      {"BMP: 100-byte buffer is not read", kBMP, Bmp(20) + Fill(80), {}, false},
      {"BMP: 101-byte buffer is scanned", kBMP, Bmp(20) + Fill(81), {{0, 20}}, false},
      {"BMP: 12-byte information header", kBMP, Fill(10) + Bmp(20, 12) + Fill(90), {}, false},
      {"BMP: 108-byte information header", kBMP, Fill(10) + Bmp(20, 108) + Fill(90), {}, false},
      {"BMP: size past the end", kBMP, Fill(10) + Bmp(200) + Fill(90), {}, false},
      {"BMP: a bitmap within 32 bytes after a dropped one is missed",
       kBMP,
       Fill(10) + Bmp(9999, 40, 31) + Bmp(20) + Fill(90),
       {},
       false},
      {"BMP: a bitmap 32 bytes after a dropped one is found",
       kBMP,
       Fill(10) + Bmp(9999, 40, 32) + Bmp(20) + Fill(90),
       {{42, 20}},
       false},
      {"BMP: \"BM\" in text costs a 32-byte step",
       kBMP,
       "The BMW parked by the BMX track." + Bmp(20) + Fill(90),
       {},
       false},
      {"BMP: a size of 0 is passed over, once",
       kBMP,
       Fill(10) + Bmp(0, 40, 32) + Bmp(20) + Fill(90),
       {{42, 20}},
       false},
      {"BMP: nothing inside an item is reported",
       kBMP,
       Fill(10) + Bmp(60, 40, 30) + Bmp(30) + Fill(90),
       {{10, 60}},
       false},
      {"BMP: candidate in the last 32 bytes is not looked at",
       kBMP,
       Fill(100) + Bmp(20, 40, 32),
       {},
       false},
      {"BMP: candidate 33 bytes before the end is",
       kBMP,
       Fill(100) + Bmp(20, 40, 33),
       {{100, 20}},
       false},
      {"BMP: whole buffer with 7 trailing bytes",
       kBMP,
       Bmp(110, 40, 110) + Fill(7),
       {{0, 110}},
       true},
      {"BMP: 8 trailing bytes", kBMP, Bmp(110, 40, 110) + Fill(8), {{0, 110}}, false},
      {"BMP: a leading byte", kBMP, Fill(1) + Bmp(110, 40, 110), {{1, 110}}, false},

      {"WAV: 100-byte buffer is not read", kWAV, Riff(4) + Fill(88), {}, false},
      {"WAV: 101-byte buffer is scanned", kWAV, Riff(4) + Fill(89), {{0, 12}}, false},
      {"WAV: AVI is not a sound", kWAV, Fill(10) + Riff(4, "AVI ") + Fill(90), {}, false},
      {"WAV: a RIFF size of 2^32 - 8 reaches past the end",
       kWAV,
       Fill(10) + Riff(0xFFFFFFF8) + Riff(4) + Fill(90),
       {{22, 12}},
       false},
      {"WAV: a RIFF size of 2^32 - 1 reaches past the end",
       kWAV,
       Fill(10) + Riff(0xFFFFFFFF) + Fill(90),
       {},
       false},
      {"WAV: candidate in the last 12 bytes is not looked at",
       kWAV,
       Fill(100) + Riff(4),
       {},
       false},
      {"WAV: candidate 13 bytes before the end is",
       kWAV,
       Fill(100) + Riff(4, "WAVE", 13),
       {{100, 12}},
       false},
      {"WAV: nothing inside an item is reported",
       kWAV,
       Fill(10) + Riff(22, "WAVE", 18) + Riff(4) + Fill(90),
       {{10, 30}},
       false},
      {"WAV: whole buffer with 7 trailing bytes",
       kWAV,
       Riff(100, "WAVE", 108) + Fill(7),
       {{0, 108}},
       true},
      {"WAV: 8 trailing bytes", kWAV, Riff(100, "WAVE", 108) + Fill(8), {{0, 108}}, false},
  });
}

TEST(BmpWav, RealFiles) {
  TempDir dir;
  const std::string bmp3 = Convert(dir, "-size 4x4 xc:red", "a.bmp", "BMP3");
  const std::string bmp2 = Convert(dir, "-size 4x4 xc:red", "b.bmp", "BMP2");
  const std::string bmpNew = Convert(dir, "-size 4x4 xc:red", "c.bmp");
  Shell("python3 -c \"import wave,struct; w=wave.open('" + (dir / "s.wav").string() +
        "','wb'); w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000); "
        "w.writeframes(struct.pack('<100h', *range(100))); w.close()\"");
  const std::string wav = ReadFile(dir / "s.wav");
  ASSERT_EQ(bmp3.size(), 102u);
  ASSERT_EQ(wav.size(), 244u);

  Check({
      {"BMP3 file alone", kBMP, bmp3, {{0, 102}}, true},
      {"BMP3 file with 8 bytes appended", kBMP, bmp3 + Fill(8), {{0, 102}}, false},
      {"bitmaps of each header in data",
       kBMP,
       Fill(7, 't') + bmp2 + Fill(7, 't') + bmpNew + Fill(7, 't') + bmp3 + Fill(40, 't'),
       {{21 + bmp2.size() + bmpNew.size(), 102}},
       false},
      {"WAV file alone", kWAV, wav, {{0, 244}}, true},
      {"WAV files in data",
       kWAV,
       Fill(3, 'x') + wav + wav + Fill(30, 'x'),
       {{3, 244}, {247, 244}},
       false},
  });
}

// A bitmap header with an information header of `info` bytes (one plane,
// 24 bits, pixels right behind the headers), padded to `size` bytes.
std::string InfoBmp(uint32_t info, uint32_t size) {
  std::string s = "BM" + LE32(size) + Fill(4) + LE32(14 + info) + LE32(info);
  s += info == 12 ? LE16(4) + LE16(4) + LE16(1) + LE16(24) : LE32(4) + LE32(4) + LE16(1) + LE16(24);
  return s + Fill(size - s.size(), 'p');
}

TEST(BmpWav, ExtendedHeadersAndStreamingSizes) {
  TempDir dir;
  const std::string bmp2 = Convert(dir, "-size 33x17 gradient:red-blue", "b2.bmp", "BMP2");
  const std::string bmp3 = Convert(dir, "-size 33x17 gradient:red-blue", "b3.bmp", "BMP3");
  const std::string bmp5 = Convert(dir, "-size 33x17 gradient:red-blue", "b5.bmp");
  const std::string withProfile = Convert(
      dir, "-size 33x17 gradient:red-blue -profile /usr/share/color/icc/ghostscript/srgb.icc",
      "p.bmp", "BMP");
  // Python's wave writes the sizes; sox writing into a pipe cannot go back
  // to them and leaves both at 0x7FFFF000 and more.
  Shell("python3 -c \"import wave,struct; w=wave.open('" + (dir / "s.wav").string() +
        "','wb'); w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000); "
        "w.writeframes(struct.pack('<300h', *range(300))); w.close()\"");
  const std::string wav = ReadFile(dir / "s.wav");
  Shell("sox -n -r 8000 -c 1 -b 16 -t wav - synth 0.05 sine 440 2>/dev/null | cat > '" +
        (dir / "pipe.wav").string() + "'");
  const std::string piped = ReadFile(dir / "pipe.wav");
  ASSERT_GE(Bytes(piped).le32(4), 0x7FFFF000u);
  auto withRiffSize = [&](uint32_t size) { return wav.substr(0, 4) + LE32(size) + wav.substr(8); };
  const std::string t = Fill(7, 't');

  struct Row {
    const char* name;
    Pass pass;
    std::string bytes;
    Spans classic, extended;
  };
  const uint64_t o = 7;
  const std::vector<Row> rows = {
      {"ImageMagick's three bitmaps",
       kBMP,
       t + bmp2 + t + bmp3 + t + bmp5 + Fill(40, 't'),
       {{o + bmp2.size() + 7, bmp3.size()}},
       {{o, bmp2.size()},
        {o + bmp2.size() + 7, bmp3.size()},
        {o + bmp2.size() + bmp3.size() + 14, bmp5.size()}}},
      {"a v5 bitmap with its colour profile",
       kBMP,
       t + withProfile + Fill(40, 't'),
       {},
       {{o, withProfile.size()}}},
      {"52- and 56-byte headers",
       kBMP,
       t + InfoBmp(52, 90) + InfoBmp(56, 94) + Fill(40, 't'),
       {},
       {{o, 90}, {o + 90, 94}}},
      {"a 40-byte header with two planes",
       kBMP,
       t + InfoBmp(40, 90).replace(26, 1, "\x02") + Fill(40, 't'),
       {{o, 90}},
       {}},
      {"an information header of 64 bytes", kBMP, t + InfoBmp(64, 120) + Fill(40, 't'), {}, {}},
      {"RIFF size 0", kWAV, t + withRiffSize(0) + t + Fill(40, 't'), {{o, 8}}, {{o, wav.size()}}},
      {"RIFF size 0xFFFFFFFF",
       kWAV,
       t + withRiffSize(0xFFFFFFFF) + t + Fill(40, 't'),
       {},
       {{o, wav.size()}}},
      {"sizes of a sound written into a pipe",
       kWAV,
       Fill(40, 't') + piped,
       {},
       {{40, piped.size()}}},
      {"a stated size is taken as it stands",
       kWAV,
       t + wav + t + Fill(40, 't'),
       {{o, wav.size()}},
       {{o, wav.size()}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(SpansOf(RunOnePass(r.pass, r.bytes)), r.classic);
    EXPECT_EQ(SpansOf(RunOnePass(r.pass, r.bytes, "/in/src.bin", true)), r.extended);
  }
}

}  // namespace
}  // namespace strellbox::test
