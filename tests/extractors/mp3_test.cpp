// The MP3 pass: files from a real encoder (ffmpeg with LAME; CBR and VBR,
// MPEG 1, 2 and 2.5, mono and stereo; ID3v2.3 and 2.4 tags with a cover,
// ID3v1) and real tag writers (id3lib's id3v2, mp3gain's APE tag) measured
// exactly alone and at odd offsets in random bytes, their covers written
// whole, also from unsynchronised tags; the rule for runs without a tag;
// hostile inputs that must cost linear work and leave a real file behind
// them found.
#include <gtest/gtest.h>

#include "engine/carve.h"
#include "extractors/image_test_util.h"

namespace strellbox::test {
namespace {

// Each 0xFF that a false sync could follow (a byte from 0xE0 on, or 0x00)
// gets a 0x00 after it, as an unsynchronising tag writer does.
std::string Unsynchronise(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    out += bytes[i];
    if (static_cast<uint8_t>(bytes[i]) == 0xFF && i + 1 < bytes.size() &&
        (static_cast<uint8_t>(bytes[i + 1]) >= 0xE0 || bytes[i + 1] == '\0'))
      out += '\0';
  }
  return out;
}

std::string Syncsafe(uint32_t v) {
  return {static_cast<char>((v >> 21) & 0x7F), static_cast<char>((v >> 14) & 0x7F),
          static_cast<char>((v >> 7) & 0x7F), static_cast<char>(v & 0x7F)};
}

uint32_t SyncsafeAt(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 7) | (static_cast<uint8_t>(s[at + i]) & 0x7F);
  return v;
}

// A real file whose ID3v2.3 tag is unsynchronised as a whole.
std::string TagUnsynchronised(const std::string& file) {
  const uint32_t size = SyncsafeAt(file, 6);
  const std::string body = Unsynchronise(file.substr(10, size));
  return file.substr(0, 5) + "\x80" + Syncsafe(body.size()) + body + file.substr(10 + size);
}

// A real file whose ID3v2.4 APIC frame alone is unsynchronised, with the
// data length indicator in front of it.
std::string FrameUnsynchronised(const std::string& file) {
  const uint32_t size = SyncsafeAt(file, 6);
  std::string body;
  for (size_t at = 10; at + 10 <= 10 + size && file[at] != '\0';) {
    const uint32_t length = SyncsafeAt(file, at + 4);
    std::string frame = file.substr(at, 10 + length);
    if (frame.compare(0, 4, "APIC") == 0) {
      const std::string data = Syncsafe(length) + Unsynchronise(frame.substr(10));
      frame = "APIC" + Syncsafe(data.size()) + frame[8] + static_cast<char>(frame[9] | 0x03) + data;
    }
    body += frame;
    at += 10 + length;
  }
  return file.substr(0, 6) + Syncsafe(body.size()) + body + file.substr(10 + size);
}

struct RealFile {
  const char* name;
  const char* command;  // makes `name` from tone.wav, mono.wav and cover.jpg
  bool cover;
  std::string (*change)(const std::string&) = nullptr;  // applied to the file made
};

#define MP3 "ffmpeg -v error -y -i "
#define COVER " -i cover.jpg -map 0 -map 1 -c:v copy -metadata:s:v comment='Cover (front)' "
const RealFile kRealFiles[] = {
    {"cbr-v23.mp3",
     MP3 "tone.wav" COVER "-c:a libmp3lame -b:a 128k -id3v2_version 3 "
         "-write_id3v1 1 cbr-v23.mp3",
     true},
    {"vbr-v24.mp3", MP3 "tone.wav" COVER "-c:a libmp3lame -q:a 4 -id3v2_version 4 vbr-v24.mp3",
     true},
    {"mpeg2-mono-cbr.mp3",
     MP3 "mono.wav -c:a libmp3lame -b:a 32k -ar 22050 -id3v2_version 0 mpeg2-mono-cbr.mp3", false},
    {"mpeg2-stereo-vbr.mp3",
     MP3 "tone.wav -c:a libmp3lame -q:a 2 -ar 22050 -id3v2_version 3 mpeg2-stereo-vbr.mp3", false},
    {"mpeg25-vbr-v1.mp3",
     MP3 "mono.wav -c:a libmp3lame -q:a 6 -ar 8000 -id3v2_version 0 -write_id3v1 1 "
         "mpeg25-vbr-v1.mp3",
     false},
    {"id3lib.mp3", "cp cbr-v23.mp3 id3lib.mp3 && id3v2 -a Someone -t Tone id3lib.mp3", true},
    {"ape.mp3", "cp cbr-v23.mp3 ape.mp3 && mp3gain -q -r -k ape.mp3", true},
    {"unsync-v23.mp3", "cp cbr-v23.mp3 unsync-v23.mp3", true, TagUnsynchronised},
    {"unsync-v24.mp3", "cp vbr-v24.mp3 unsync-v24.mp3", true, FrameUnsynchronised},
};
#undef MP3
#undef COVER

TEST(MP3, RealFilesAloneAndAtOddOffsetsWithTheirCoverArt) {
  TempDir dir;
  const std::string cover = Convert(dir, "-size 48x32 gradient:red-blue", "cover.jpg");
  MadeBy(dir, "sox -n -r 44100 -c 2 -b 16 tone.wav synth 0.7 sine 440", "tone.wav");
  MadeBy(dir, "sox -n -r 44100 -c 1 -b 16 mono.wav synth 0.7 sine 330", "mono.wav");
  for (const RealFile& f : kRealFiles) {
    SCOPED_TRACE(f.name);
    std::string bytes = MadeBy(dir, f.command, f.name);
    ASSERT_GT(bytes.size(), 1000u);
    if (f.change) {
      bytes = f.change(bytes);
      // The change must have had something to undo in the cover.
      ASSERT_GT(Unsynchronise(cover).size(), cover.size());
    }
    const std::string laid = SeededBytes(1001, 1) + bytes + SeededBytes(777, 2);
    for (const auto& [data, at] :
         {std::pair{bytes, uint64_t{0}}, std::pair{laid, uint64_t{1001}}}) {
      const PassRun run = RunOnePass(&strellMP3, data);
      std::vector<std::string> files, covers;
      for (const Reported& item : run.items) {
        if (item.original.find("-cover") == std::string::npos) {
          files.push_back(item.bytes);
          EXPECT_EQ(item.from, at);
          continue;
        }
        covers.push_back(item.bytes);
        // Undone bytes say so: decoded, and by what.
        EXPECT_EQ(item.end, f.change ? ItemEnd::kDecoded : ItemEnd::kLength);
        EXPECT_EQ(item.chain.size(), f.change ? 1u : 0u);
        if (f.change && !item.chain.empty()) {
          EXPECT_EQ(item.chain[0].decoder, "id3-unsync");
        }
      }
      EXPECT_EQ(files.size(), 1u);
      EXPECT_TRUE(files.size() == 1 && files[0] == bytes);
      EXPECT_EQ(covers, f.cover ? std::vector<std::string>{cover} : std::vector<std::string>{});
      EXPECT_EQ(run.atomic, at == 0);
    }
  }
}

// A run of frames with no tag in front is a file from four frames on.
// LAME's 8 kbit/s frames at 8 kHz are 72 bytes each, without padding, and
// without the Info frame the file is nothing but such frames.
TEST(MP3, RunsWithoutATagCountFromFourFrames) {
  TempDir dir;
  MadeBy(dir, "sox -n -r 8000 -c 1 -b 16 low.wav synth 1 sine 300", "low.wav");
  const std::string frames = MadeBy(dir,
                                    "ffmpeg -v error -i low.wav -c:a libmp3lame -b:a 8k "
                                    "-id3v2_version 0 -write_xing 0 low.mp3",
                                    "low.mp3");
  ASSERT_EQ(frames.size() % 72, 0u);
  ASSERT_GE(frames.size(), 72u * 8);
  for (const size_t count : {1, 3, 4, 8}) {
    SCOPED_TRACE(count);
    const std::string run = frames.substr(72 * 2, 72 * count);
    const PassRun found = RunOnePass(&strellMP3, SeededBytes(333, 5) + run + SeededBytes(99, 6));
    EXPECT_EQ(SpansOf(found), count >= 4 ? (Spans{{333, run.size()}}) : Spans{});
  }
}

// Hostile runs, each followed by a real file that must still be found.
TEST(MP3, HostileRunsCostLinearWorkAndTheFileBehindIsFound) {
  TempDir dir;
  MadeBy(dir, "sox -n -r 22050 -c 1 -b 16 tone.wav synth 0.5 sine 440", "tone.wav");
  const std::string mp3 = MadeBy(
      dir, "ffmpeg -v error -i tone.wav -c:a libmp3lame -id3v2_version 3 -write_id3v1 1 a.mp3",
      "a.mp3");
  const std::string bare =
      MadeBy(dir, "ffmpeg -v error -i tone.wav -c:a libmp3lame -id3v2_version 0 b.mp3", "b.mp3");
  std::string headers, freeFormat;
  for (int i = 0; i < 250000; ++i) {
    headers += "\xFF\xFB\x90\x64";  // MPEG 1 layer III, 128 kbit/s: its next frame is not there
    freeFormat += std::string("\xFF\xFB\x00\x64", 4);
  }
  const std::string huge = "APETAGEX" + LE32(2000) + LE32(0xFFFFFFFFu) + LE32(1);
  const std::vector<std::pair<const char*, std::string>> hostile = {
      {"ID3 tag larger than the buffer", std::string("ID3\x03\x00\x00\x7F\x7F\x7F\x7F", 10)},
      {"a million frame syncs one byte apart", std::string(1000000, '\xFF')},
      {"a million valid headers, none followed by its next frame", headers},
      {"frames of free format", freeFormat},
      {"APE header claiming 2^32 bytes behind frames",
       bare + huge + LE32(1u << 29) + std::string(8, '\0')},
      {"APE footer claiming 2^32 bytes behind frames",
       bare + huge + LE32(0) + std::string(8, '\0')},
  };
  for (const auto& [name, bytes] : hostile) {
    SCOPED_TRACE(name);
    const std::string data = bytes + SeededBytes(101, 3) + mp3 + SeededBytes(57, 4);
    const uint64_t before = tImageWalkWork;
    const PassRun run = RunOnePass(&strellMP3, data);
    EXPECT_LE(tImageWalkWork - before, WalkBudget::kWalkWorkPerByte * data.size());
    ASSERT_FALSE(run.items.empty());
    EXPECT_EQ(run.items.back().from, bytes.size() + 101);
    EXPECT_EQ(run.items.back().length, mp3.size());
    // The frames in front of a hostile APE tag are a file without it.
    if (bytes.starts_with(bare)) {
      EXPECT_EQ(SpansOf(run).front(), std::pair(uint64_t{0}, bare.size()));
    }
  }
}

TEST(MP3, RowRunsWithExtendedDetectionOnly) {
  TempDir dir;
  MadeBy(dir, "sox -n -r 8000 -c 1 -b 16 tone.wav synth 0.3 sine 440", "tone.wav");
  const std::string mp3 = MadeBy(dir, "ffmpeg -v error -i tone.wav -c:a libmp3lame a.mp3", "a.mp3");
  for (const bool extended : {false, true}) {
    StrellController c;
    c.setExtendedDetection(extended);
    ItemRecorder rec(c);
    c.strellData(Bytes(SeededBytes(40, 5) + mp3 + SeededBytes(40, 7)), "/in/sounds.bin");
    std::vector<std::string> types;
    for (const Reported& item : rec.items())
      if (item.type == "mp3") types.push_back(item.type);
    EXPECT_EQ(types, extended ? std::vector<std::string>{"mp3"} : std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace strellbox::test
