// Compound files and RTF under extended detection (flate row): Word,
// PowerPoint, Excel and RTF files that LibreOffice writes at test time from
// a document with a PNG and a JPEG in it; both pictures must come out byte-identical, no
// damaged copy of either may come out, and hostile tables must neither
// hang the walk nor hide a picture after them.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <map>

#include "engine/paths.h"
#include "extractors/container_test_util.h"

namespace strellbox::test {
namespace {

class OfficeFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    // Seeded: the same pictures every run. The JPEG is larger than one of
    // Excel's records, so that its drawing group splits it.
    png_ = new std::string(Convert(*dir_, "-seed 1 -size 160x120 plasma:fractal", "a.png"));
    jpeg_ = new std::string(
        Convert(*dir_, "-seed 2 -size 240x180 plasma:fractal -quality 90", "b.jpg"));
    const std::string ns =
        "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
        "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
        "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
        "xmlns:svg=\"urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0\"";
    // The pictures as the documents hold them, in Base64.
    Shell("cd '" + dir_->str() + "' && base64 -w0 a.png >a.b64 && base64 -w0 b.jpg >b.b64");
    const std::string pngText = ReadFile(*dir_ / "a.b64"), jpegText = ReadFile(*dir_ / "b.b64");
    auto frame = [](const std::string& base64, const char* anchor) {
      return fmt::format(
          "<draw:frame{} svg:x=\"1cm\" svg:y=\"1cm\" svg:width=\"4cm\" svg:height=\"3cm\">"
          "<draw:image><office:binary-data>{}</office:binary-data></draw:image></draw:frame>",
          anchor, base64);
    };
    const std::string pictures = frame(pngText, " text:anchor-type=\"paragraph\"") +
                                 frame(jpegText, " text:anchor-type=\"paragraph\"");
    auto document = [&](const char* kind, const std::string& body) {
      return fmt::format(
          "<?xml version=\"1.0\"?><office:document {} office:version=\"1.2\" "
          "office:mimetype=\"application/vnd.oasis.opendocument.{}\"><office:body>{}"
          "</office:body></office:document>",
          ns, kind, body);
    };
    WriteFile(*dir_ / "doc.fodt",
              document("text", "<office:text><text:p>" + pictures + "</text:p></office:text>"));
    WriteFile(*dir_ / "show.fodp",
              document("presentation", "<office:presentation><draw:page draw:name=\"s\">" +
                                           frame(pngText, "") + frame(jpegText, "") +
                                           "</draw:page></office:presentation>"));
    WriteFile(*dir_ / "book.fods",
              document("spreadsheet",
                       "<office:spreadsheet><table:table table:name=\"t\"><table:shapes>" +
                           frame(pngText, "") + frame(jpegText, "") +
                           "</table:shapes><table:table-row><table:table-cell/></table:table-row>"
                           "</table:table></office:spreadsheet>"));
  }
  // The file LibreOffice writes, converted on first use only: ctest runs
  // each test in a process of its own, and a conversion takes seconds.
  static std::string Office(const std::string& name) {
    const std::string ext = name.substr(name.find('.') + 1);
    const char* filter = ext == "doc"   ? "'doc:MS Word 97' doc.fodt"
                         : ext == "ppt" ? "'ppt:MS PowerPoint 97' show.fodp"
                         : ext == "xls" ? "'xls:MS Excel 97' book.fods"
                                        : "rtf doc.fodt";
    if (!std::filesystem::exists(*dir_ / name)) {
      // Its own profile and HOME, so that nothing of the user's is touched.
      Shell(
          fmt::format("cd '{0}' && HOME='{0}' soffice -env:UserInstallation=file://{0}/profile "
                      "--headless --convert-to {1} >/dev/null 2>&1",
                      dir_->str(), filter));
    }
    EXPECT_TRUE(std::filesystem::exists(*dir_ / name)) << "LibreOffice wrote no " << name;
    return ReadFile(*dir_ / name);
  }
  static void TearDownTestSuite() {
    delete png_;
    delete jpeg_;
    delete dir_;
  }
  static std::vector<Reported> Scan(const std::string& bytes, bool saving) {
    return ScanContainer(bytes, saving);
  }

  static TempDir* dir_;
  static std::string* png_;
  static std::string* jpeg_;
};

TempDir* OfficeFiles::dir_ = nullptr;
std::string* OfficeFiles::png_ = nullptr;
std::string* OfficeFiles::jpeg_ = nullptr;

TEST_F(OfficeFiles, PicturesOfEveryOfficeBinaryComeOutWholeAndUndamaged) {
  for (const char* name : {"doc.doc", "show.ppt", "book.xls", "doc.rtf"}) {
    SCOPED_TRACE(name);
    ExpectPicturesWhole(Scan(Office(name), false), *png_, *jpeg_);
  }
}

TEST_F(OfficeFiles, ACompoundFileInsideMoreIsMeasuredByItsFat) {
  const std::string doc = Office("doc.doc");
  const std::string noise(5000, '\x5A');
  std::vector<std::string> docs;
  for (const Reported& item : Scan(noise + doc + noise, true))
    if (item.type == "doc") docs.push_back(item.bytes);
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_TRUE(docs[0] == doc);
}

// A message's attachment storages as the message format lays them out,
// written into a compound file by libgsf: the long Unicode name wins over
// the 8.3 one, an attachment with only an 8-bit short name keeps it.
TEST_F(OfficeFiles, OutlookAttachmentsComeOutWholeUnderTheirNames) {
  const std::filesystem::path m = *dir_ / "message";
  const std::filesystem::path first = m / "__attach_version1.0_#00000000",
                              second = m / "__attach_version1.0_#00000001";
  std::filesystem::create_directories(first);
  std::filesystem::create_directories(second);
  auto utf16 = [](std::string_view text) {
    std::string out;
    for (const char c : text) out += {c, '\0'};
    return out;
  };
  WriteFile(m / "__substg1.0_0037001F", utf16("Holiday"));
  WriteFile(first / "__substg1.0_37010102", *jpeg_);
  WriteFile(first / "__substg1.0_3707001F", utf16("Beach at noon.jpg"));
  WriteFile(first / "__substg1.0_3704001E", std::string("BEACHA~1.JPG\0", 13));
  WriteFile(second / "__substg1.0_37010102", *png_);
  WriteFile(second / "__substg1.0_3704001E", "chart.png");
  Shell("cd '" + m.string() + "' && gsf createole ../mail.msg * >/dev/null");
  const std::string noise(3000, '\x33');
  for (const std::string& bytes : {ReadFile(*dir_ / "mail.msg"), noise + ReadFile(*dir_ / "mail.msg")}) {
    std::map<std::string, std::string> named;
    for (const Reported& item : Scan(bytes, true))
      if (item.type == "jpg" || item.type == "png")
        named.emplace(LastPathComponent(item.original), item.bytes);
    ASSERT_TRUE(named.count("container-Beach_at_noon.jpg"));
    ASSERT_TRUE(named.count("container-chart.png"));
    EXPECT_TRUE(named["container-Beach_at_noon.jpg"] == *jpeg_);
    EXPECT_TRUE(named["container-chart.png"] == *png_);
  }
}

TEST_F(OfficeFiles, HostileTablesEndAndHideNothingAfterThem) {
  const std::string doc = Office("doc.doc");
  auto le32 = [](const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at]) |
                                 static_cast<uint8_t>(s[at + 1]) << 8 |
                                 static_cast<uint8_t>(s[at + 2]) << 16 |
                                 static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24);
  };
  const uint32_t firstFat = le32(doc, 0x4C), firstDir = le32(doc, 0x30);
  const size_t fatAt = 512 * (size_t{firstFat} + 1), dirAt = 512 * (size_t{firstDir} + 1);
  auto with = [&](size_t at, uint32_t value) {
    std::string s = doc;
    s.replace(at, 4, LE32(value));
    return s;
  };
  struct Row {
    const char* name;
    std::string hostile;
  };
  const std::vector<Row> rows = {
      {"a DIFAT chain of 2^32-1 sectors looping on itself",
       with(0x48, 0xFFFFFFFF).replace(0x44, 4, LE32(firstFat))},
      {"a FAT loop on the directory's first sector", with(fatAt + 4 * size_t{firstDir}, firstDir)},
      {"a directory cycle back to the root", with(dirAt + 128 + 68, 0)},
      {"a stream of 2^32-1 bytes", with(dirAt + 128 + 120, 0xFFFFFFFF)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::vector<Reported> items = Scan(r.hostile + *jpeg_, false);
    EXPECT_TRUE(std::any_of(items.begin(), items.end(), [&](const Reported& item) {
      return item.bytes == *jpeg_ && item.from == doc.size();
    }));
  }
}

TEST_F(OfficeFiles, HostileRtfGroupsEndAndHideNothingAfterThem) {
  struct Row {
    const char* name;
    std::string hostile;
  };
  const std::vector<Row> rows = {
      {"a \\bin of 10^12 bytes", "{\\rtf1{\\pict\\pngblip\\bin1000000000000 \x89PNG}}"},
      {"10^6 nested groups", "{\\rtf1{\\pict\\pngblip" + std::string(1000000, '{') + "89504e47"},
      {"an odd digit and no end", "{\\rtf1{\\pict\\jpegblip ffd8f"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::vector<Reported> items = Scan(r.hostile + *jpeg_, false);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].bytes == *jpeg_);
  }
}

}  // namespace
}  // namespace strellbox::test
