// The FLAC and Ogg passes: files from real encoders (flac with a picture,
// oggenc, opusenc, ffmpeg) measured exactly alone and at odd offsets in
// random bytes, their cover art written whole; hostile page and frame runs
// that must cost linear work and leave a real file behind them found.
#include <gtest/gtest.h>

#include "engine/carve.h"
#include "extractors/image_test_util.h"

namespace strellbox::test {
namespace {

struct RealFile {
  const char* name;
  const char* command;
  Pass pass;
  bool cover;  // cover.jpg inside, to be written whole
};

const RealFile kRealFiles[] = {
    {"a.flac", "flac -s --picture=cover.jpg -o a.flac tone.wav", &strellFLAC, true},
    {"b.flac", "ffmpeg -v error -i tone.wav -compression_level 0 b.flac", &strellFLAC, false},
    {"a.ogg", "oggenc -Q -o a.ogg tone.wav", &strellOgg, false},
    {"a.opus", "opusenc --quiet --picture cover.jpg tone.wav a.opus", &strellOgg, true},
    {"av.ogg",
     "ffmpeg -v error -f lavfi -i testsrc=size=64x48:rate=5 -i tone.wav -t 0.4 -c:v libtheora "
     "-c:a libvorbis av.ogg",
     &strellOgg, false},
};

TEST(FLACAndOgg, RealFilesAloneAndAtOddOffsetsWithTheirCoverArt) {
  TempDir dir;
  const std::string cover = Convert(dir, "-size 32x32 gradient:red-blue", "cover.jpg");
  MadeBy(dir, "sox -n -r 44100 -c 2 -b 16 tone.wav synth 0.7 sine 440", "tone.wav");
  for (const RealFile& f : kRealFiles) {
    SCOPED_TRACE(f.name);
    const std::string bytes = MadeBy(dir, f.command, f.name);
    ASSERT_GT(bytes.size(), 1000u);
    const std::string laid = SeededBytes(1001, 1) + bytes + SeededBytes(777, 2);
    for (const auto& [data, at] :
         {std::pair{bytes, uint64_t{0}}, std::pair{laid, uint64_t{1001}}}) {
      const PassRun run = RunOnePass(f.pass, data);
      std::vector<std::string> files, covers;
      for (const Reported& item : run.items) {
        if (item.original.find("-cover") != std::string::npos) {
          covers.push_back(item.bytes);
        } else {
          files.push_back(item.bytes);
          EXPECT_EQ(item.from, at);
        }
      }
      EXPECT_EQ(files, std::vector<std::string>{bytes});
      EXPECT_EQ(covers, f.cover ? std::vector<std::string>{cover} : std::vector<std::string>{});
      EXPECT_EQ(run.atomic, at == 0);
    }
  }
}

// A CRC-16 of the last frame's bytes comes out right by chance inside it
// about once in six files of this size: the last frame must end where its
// subframes do, not at the first match. Repeatable noise makes these files
// the same on every run; each came out cut short before.
TEST(FLACAndOgg, TheLastFrameEndsWhereItsSubframesEnd) {
  TempDir dir;
  for (const char* seconds : {"1.35", "1.75", "1.85", "2.45"}) {
    SCOPED_TRACE(seconds);
    MadeBy(dir,
           std::string("sox -R -n -r 44100 -c 2 -b 24 noise.wav synth ") + seconds +
               " pinknoise vol 0.5",
           "noise.wav");
    const std::string bytes = MadeBy(dir, "flac -s -5 -f -o noise.flac noise.wav", "noise.flac");
    const PassRun run = RunOnePass(&strellFLAC, SeededBytes(999, 3) + bytes + SeededBytes(99, 4));
    ASSERT_EQ(run.items.size(), 1u);
    EXPECT_EQ(run.items[0].bytes.size(), bytes.size());
    EXPECT_TRUE(run.items[0].bytes == bytes);
  }
}

// Hostile runs, each followed by a real file that must still be found.
TEST(FLACAndOgg, HostileRunsCostLinearWorkAndTheFileBehindIsFound) {
  TempDir dir;
  MadeBy(dir, "sox -n -r 8000 -c 1 -b 16 tone.wav synth 0.3 sine 440", "tone.wav");
  const std::string ogg = MadeBy(dir, "oggenc -Q -o a.ogg tone.wav", "a.ogg");
  const std::string flac = MadeBy(dir, "flac -s -o a.flac tone.wav", "a.flac");
  // The first page of the real file, then a million empty pages of its
  // stream, each with its CRC made good.
  const std::string first =
      ogg.substr(0, 27 + static_cast<uint8_t>(ogg[26]) + static_cast<uint8_t>(ogg[27]));
  std::string empties = first;
  for (uint32_t i = 1; i <= 1000000; ++i) {
    std::string page = "OggS" + std::string(10, '\0') + first.substr(14, 4) + LE32(i) + LE32(0) +
                       std::string(1, '\0');
    uint32_t crc = 0;
    for (const char c : page) {
      crc ^= uint32_t{static_cast<uint8_t>(c)} << 24;
      for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    empties += page.replace(22, 4, LE32(crc));
  }
  // STREAMINFO marked as the last block, then frame syncs one byte apart.
  std::string syncs = flac.substr(0, 42);
  syncs[4] = static_cast<char>(0x80);
  for (int i = 0; i < 1000000; ++i) syncs += "\xFF\xF8";
  const std::vector<std::tuple<const char*, std::string, Pass, std::string>> hostile = {
      {"a million empty Ogg pages", empties, &strellOgg, ogg},
      {"Ogg pages claiming 255 segments past the end",
       "OggS" + std::string(1, '\0') + "\x02" + std::string(20, '\0') + "\xFF" +
           std::string(255, '\xFF'),
       &strellOgg, ogg},
      {"FLAC metadata, then a million frame syncs", syncs, &strellFLAC, flac},
      {"FLAC block longer than the buffer", "fLaC\x00\xFF\xFF\xFF", &strellFLAC, flac},
  };
  for (const auto& [name, bytes, pass, real] : hostile) {
    SCOPED_TRACE(name);
    const std::string data = bytes + SeededBytes(101, 3) + real + SeededBytes(57, 4);
    const uint64_t before = tImageWalkWork;
    const PassRun run = RunOnePass(pass, data);
    EXPECT_LE(tImageWalkWork - before, WalkBudget::kWalkWorkPerByte * data.size());
    ASSERT_FALSE(run.items.empty());
    EXPECT_EQ(run.items.back().from, bytes.size() + 101);
    EXPECT_EQ(run.items.back().length, real.size());
  }
}

TEST(FLACAndOgg, RowsRunWithExtendedDetectionOnly) {
  TempDir dir;
  MadeBy(dir, "sox -n -r 8000 -c 1 -b 16 tone.wav synth 0.3 sine 440", "tone.wav");
  const std::string flac = MadeBy(dir, "flac -s -o a.flac tone.wav", "a.flac");
  const std::string ogg = MadeBy(dir, "oggenc -Q -o a.ogg tone.wav", "a.ogg");
  for (const bool extended : {false, true}) {
    StrellController c;
    c.setExtendedDetection(extended);
    ItemRecorder rec(c);
    c.strellData(Bytes(SeededBytes(40, 5) + flac + SeededBytes(40, 6) + ogg + SeededBytes(40, 7)),
                 "/in/sounds.bin");
    std::vector<std::string> types;
    for (const Reported& item : rec.items())
      if (item.type == "flac" || item.type == "ogg") types.push_back(item.type);
    EXPECT_EQ(types,
              extended ? (std::vector<std::string>{"flac", "ogg"}) : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace strellbox::test
