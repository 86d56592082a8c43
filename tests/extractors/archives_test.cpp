// Archives and compressed streams through libarchive (extended detection,
// flate row): made at test time by GNU tar with each compressor and by
// 7-Zip, the pictures put in must come out byte-identical and nothing
// else that claims to be a picture may come out; archives found inside a
// larger buffer are reported whole where their records give their end.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include "engine/scan_context.h"
#include "extractors/archives.h"
#include "extractors/container_test_util.h"

namespace strellbox::test {
namespace {

class Archives : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    Shell("mkdir -p '" + (*dir_ / "pics").string() + "'");
    png_ = new std::string(Convert(*dir_, "-size 160x120 plasma:fractal", "pics/a.png"));
    jpeg_ = new std::string(Convert(*dir_, "-size 120x90 gradient:red-blue", "pics/b.jpg"));
  }
  static void TearDownTestSuite() {
    delete png_;
    delete jpeg_;
    delete dir_;
  }
  // The file a command run in the folder writes.
  static std::string Make(const std::string& command, const std::string& output) {
    Shell("cd '" + dir_->str() + "' && rm -f " + output + " && " + command + " >/dev/null");
    return ReadFile(*dir_ / output);
  }
  static std::vector<Reported> Scan(const std::string& bytes, bool saving) {
    return ScanContainer(bytes, saving);
  }
  static bool HasStep(const std::vector<Reported>& items, const std::string& decoder) {
    return std::any_of(items.begin(), items.end(), [&](const Reported& item) {
      return std::any_of(item.chain.begin(), item.chain.end(),
                         [&](const OriginStep& s) { return s.decoder == decoder; });
    });
  }

  static TempDir* dir_;
  static std::string* png_;
  static std::string* jpeg_;
};

TempDir* Archives::dir_ = nullptr;
std::string* Archives::png_ = nullptr;
std::string* Archives::jpeg_ = nullptr;

TEST_F(Archives, PicturesOfEveryWriterComeOutWhole) {
  struct Row {
    const char* command;
    const char* output;
    const char* decoder;  // a step every such archive's pictures pass
  };
  const std::vector<Row> rows = {
      {"tar czf p.tgz pics", "p.tgz", "gzip"},
      {"tar cJf p.txz pics", "p.txz", "xz"},
      {"tar cjf p.tbz pics", "p.tbz", "bzip2"},
      {"tar --zstd -cf p.tzst pics", "p.tzst", "zstd"},
      {"7z a -bd p.7z pics", "p.7z", "archive-member"},
      {"7z a -bd -tzip -mm=LZMA l.zip pics", "l.zip", "zip-member"},
      {"7z a -bd -tzip -mm=BZip2 b.zip pics", "b.zip", "zip-member"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.command);
    const std::vector<Reported> items = Scan(Make(r.command, r.output), false);
    ExpectPicturesWhole(items, *png_, *jpeg_);
    EXPECT_TRUE(HasStep(items, r.decoder));
  }
}

TEST_F(Archives, ArchivesInsideABufferAreMeasuredByTheirRecords) {
  const std::string sevenZip = Make("7z a -bd m.7z pics", "m.7z");
  const std::string tar = Make("tar cf m.tar pics", "m.tar");
  const std::string noise(3000, '\x5A');
  const std::vector<Reported> items = Scan(noise + sevenZip + noise + tar + noise, true);
  ExpectPicturesWhole(items, *png_, *jpeg_);
  std::vector<std::pair<std::string, std::string>> archives;
  for (const Reported& item : items)
    if (item.type == "7z" || item.type == "tar") archives.emplace_back(item.type, item.bytes);
  ASSERT_EQ(archives.size(), 2u);
  EXPECT_EQ(archives[0], std::make_pair(std::string("7z"), sevenZip));
  EXPECT_EQ(archives[1], std::make_pair(std::string("tar"), tar));
}

TEST_F(Archives, HostileHeadersAndEncryptedMembersGiveNothingAndStopNothing) {
  // A tar whose first member claims 10^12 bytes (base-256), checksum kept
  // right; a 7z whose next header claims 2^63 bytes, its CRC kept right;
  // a 7z with an encrypted member; a 7z claiming 10^9 files. The PNG after
  // each still comes out.
  std::string tar = Make("tar cf h.tar pics", "h.tar");
  std::string size(12, '\0');
  size[0] = static_cast<char>(0x80);
  for (int i = 0; i < 8; ++i)
    size[11 - i] = static_cast<char>((uint64_t{1000000000000} >> (8 * i)) & 0xFF);
  tar.replace(124, 12, size);
  tar.replace(148, 8, std::string(8, ' '));
  uint32_t sum = 0;
  for (int i = 0; i < 512; ++i) sum += static_cast<uint8_t>(tar[i]);
  tar.replace(148, 8, fmt::format("{:06o}", sum) + std::string("\0 ", 2));
  std::string sevenZip = Make("7z a -bd h.7z pics", "h.7z");
  sevenZip.replace(20, 8, std::string("\0\0\0\0\0\0\0\x80", 8));
  const uint32_t crc =
      static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(sevenZip.data() + 12), 20));
  sevenZip.replace(8, 4, LE32(crc));
  const std::string secret = Make("7z a -bd -psecret s.7z pics/b.jpg", "s.7z");
  // A 7z whose header (left uncompressed; pictures seeded, so that no byte
  // of their CRCs before it reads as the marker) claims 10^9 files, its
  // sizes and CRCs kept right.
  std::string many = Make(
      "mkdir -p seeded && convert -seed 5 -size 40x30 plasma:fractal seeded/a.png && "
      "convert -seed 6 -size 30x20 plasma:fractal seeded/b.png && 7z a -bd -mhc=off m.7z seeded",
      "m.7z");
  {
    uint64_t offset = 0, length = 0;
    for (int i = 7; i >= 0; --i) {
      offset = offset << 8 | static_cast<uint8_t>(many[12 + i]);
      length = length << 8 | static_cast<uint8_t>(many[20 + i]);
    }
    std::string header = many.substr(32 + offset, length);
    // kFilesInfo, a count of three (the folder and its two files), then the
    // first property (which entries are empty: the folder).
    const size_t files = header.find(std::string("\x05\x03\x0E", 3));
    ASSERT_NE(files, std::string::npos);
    // 10^9 in 7z's number coding: four high bits set, four bytes after.
    header.replace(files + 1, 1, std::string("\xF0\x00\xCA\x9A\x3B", 5));
    const auto crc = [](const std::string& b) {
      return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(b.data()), b.size()));
    };
    many = many.substr(0, 32 + offset) + header;
    many.replace(20, 8, LE32(static_cast<uint32_t>(header.size())) + std::string(4, '\0'));
    many.replace(28, 4, LE32(crc(header)));
    many.replace(8, 4, LE32(crc(many.substr(12, 20))));
  }

  struct Row {
    const char* name;
    std::string hostile;
    std::vector<std::string> types;  // the encrypted archive is still an item (flate runs last)
  };
  const std::vector<Row> rows = {
      {"tar member of 10^12 bytes", tar.substr(0, 1024), {"png"}},
      {"7z next header of 2^63 bytes", sevenZip, {"png"}},
      {"encrypted 7z member", secret, {"png", "7z"}},
      {"7z header claiming 10^9 files", many, {"png", "7z"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    StrellController c;
    c.setAllScans(false);
    c.setScanFor(PassId::kPNG, true);
    c.setScanFor(PassId::kJPEG, true);
    c.setScanFor(PassId::kFlate, true);
    c.setExtendedDetection(true);
    ItemRecorder rec(c);
    c.strellData(Bytes(r.hostile + std::string(100, '.') + *png_), "/in/pics.bin");
    EXPECT_EQ(rec.types(), r.types);
    EXPECT_TRUE(rec.items().front().bytes == *png_);
  }
}

// Just over a GiB of zeros from each compressor GNU tar uses, each in a
// small file whose decoded budget is DecodedBudget::kFloor (a GiB): each
// bomb is read up to the budget and no further, and the picture beside
// them still comes out.
TEST_F(Archives, CompressorBombsOfAGibibyteCostNoMoreThanTheBudget) {
  TempDir folder;
  const std::string zeros =
      "cd '" + folder.str() + "' && head -c " +
      std::to_string(DecodedBudget::kFloor + (1 << 20)) + " /dev/zero | ";
  const std::vector<const char*> bombs = {"xz -0 -T1 -c > a-bomb.xz", "bzip2 -1 -c > a-bomb.bz2",
                                          "zstd -1 -q -c > a-bomb.zst"};
  for (const char* compress : bombs) Shell(zeros + compress);
  WriteFile(folder / "b-picture.png", *png_);
  TempDir out;
  StrellController c;
  c.setAllScans(false);
  c.setScanFor(PassId::kPNG, true);
  c.setScanFor(PassId::kFlate, true);
  c.setExtendedDetection(true);
  c.setSaveRadioChosen(2);
  c.setSaveFolder(out.str());
  const uint64_t before = ArchiveOutputSoFar();
  c.threadStrell({folder.str()});
  c.waitUntilIdle();
  const uint64_t cost = ArchiveOutputSoFar() - before;
  EXPECT_LE(cost, bombs.size() * (DecodedBudget::kFloor + (64 << 10)));
  EXPECT_GT(cost, bombs.size() * (DecodedBudget::kFloor / 2)) << "a bomb was not read at all";
  const std::vector<std::string> pngs = ReadFilesOfType(out.path(), ".png");
  ASSERT_EQ(pngs.size(), 1u);
  EXPECT_TRUE(pngs[0] == *png_);
}

}  // namespace
}  // namespace strellbox::test
