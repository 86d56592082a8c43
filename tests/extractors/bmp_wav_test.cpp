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

void Check(const std::vector<SizedCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PassRun run = RunOnePass(c.pass, c.bytes);
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

}  // namespace
}  // namespace strellbox::test
