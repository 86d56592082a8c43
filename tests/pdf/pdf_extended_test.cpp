// PDFs as today's writers make them, read with extended detection, and the
// faults mended in every mode. Inputs come from real writers (img2pdf,
// ImageMagick, Ghostscript, qpdf) run at test time; what we write must
// check clean with qpdf, render with pdftoppm, keep each image stream byte
// for byte and leave pdfimages no image we did not write.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/strell_controller.h"
#include "pdf/pdf_document.h"
#include "pdf/pdf_filters.h"
#include "pdf/pdf_test_util.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using test::LogCapture;
using test::Quote;
using test::RunCommand;

// The items a PDF pass reported: the documents, and the one-page files of
// their images (whose buffers were made by the PDF writer).
struct Scan {
  std::vector<test::Reported> documents, images;
};

Scan ScanBytes(const std::string& bytes, bool extended, bool dontSaveDuplicates = false) {
  StrellController controller;
  controller.setExtendedDetection(extended);
  controller.setDontSaveDuplicates(dontSaveDuplicates);
  test::ItemRecorder recorder(controller);
  RunPass(controller, strellbox::strellPDF, Buffer::fromString(bytes), "source.pdf");
  Scan scan;
  for (const auto& item : recorder.items()) {
    const bool image = !item.chain.empty() && item.chain.back().decoder == "pdf";
    (image ? scan.images : scan.documents).push_back(item);
  }
  return scan;
}

class PDFExtendedTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::TempDir;
    for (const char* command :
         {"convert -size 64x48 gradient:red-blue -quality 85 @D/photo.jpg",
          "convert -size 40x30 gradient:green-yellow -depth 8 @D/flat.png",
          "convert -size 48x32 xc:white -fill navy -draw 'circle 24,16 24,4' -colors 4 "
          "PNG8:@D/palette.png",
          "convert -size 50x40 gradient:red-blue -alpha set -channel A -evaluate set 50% "
          "+channel -depth 8 @D/alpha.png",
          "img2pdf @D/photo.jpg @D/flat.png @D/palette.png -o @D/img2pdf.pdf"}) {
      const auto run = RunCommand(Expand(command));
      ASSERT_EQ(run.status, 0) << command << "\n" << run.output;
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::string Expand(std::string text) {
    for (size_t at; (at = text.find("@D")) != std::string::npos;) text.replace(at, 2, dir_->str());
    return text;
  }
  static std::filesystem::path Path(const std::string& name) { return dir_->path() / name; }
  static std::string Bytes(const std::string& name) { return test::ReadFile(Path(name)); }

  // The raw data of every image XObject of more than 2 x 2 pixels.
  static std::multiset<std::string> ImageStreams(const std::filesystem::path& path) {
    const auto listing =
        RunCommand("qpdf --json=2 --json-key=qpdf " + Quote(path) + " 2>/dev/null");
    std::multiset<std::string> streams;
    const auto json = nlohmann::json::parse(listing.output, nullptr, false);
    if (json.is_discarded()) {
      ADD_FAILURE() << listing.output;
      return streams;
    }
    for (const auto& [key, value] : json["qpdf"][1].items()) {
      if (!value.is_object() || !value.contains("stream")) continue;
      const auto& d = value["stream"]["dict"];
      if (d.value("/Subtype", "") != "/Image" || !d["/Width"].is_number() ||
          !d["/Height"].is_number() || d["/Width"] <= 2 || d["/Height"] <= 2)
        continue;
      const std::string number = key.substr(4, key.find(' ') - 4);
      streams.insert(RunCommand("qpdf --show-object=" + number + " --raw-stream-data " +
                                Quote(path) + " 2>/dev/null")
                         .output);
    }
    return streams;
  }

  // Writes each one-page file and checks it; returns their image streams.
  static std::multiset<std::string> CheckPages(const std::vector<test::Reported>& images) {
    std::multiset<std::string> copied;
    for (size_t i = 0; i < images.size(); ++i) {
      const auto out = Path("page-" + std::to_string(i) + ".pdf");
      test::WriteFile(out, images[i].bytes);
      const auto check = RunCommand("qpdf --check " + Quote(out));
      EXPECT_EQ(check.status, 0) << check.output;
      EXPECT_EQ(check.output.find("WARNING"), std::string::npos) << check.output;
      const auto render = RunCommand("pdftoppm -png -r 10 " + Quote(out) + " " + Quote(Path("r")));
      EXPECT_EQ(render.status, 0) << render.output;
      EXPECT_EQ(render.output, "");
      copied.insert(
          RunCommand("qpdf --show-object=1 --raw-stream-data " + Quote(out) + " 2>/dev/null")
              .output);
    }
    return copied;
  }

  static test::TempDir* dir_;
};

test::TempDir* PDFExtendedTest::dir_ = nullptr;

TEST_F(PDFExtendedTest, EveryWriterGivesEveryImage) {
  struct Writer {
    const char* name;
    const char* command;  // writes @D/w.pdf
    size_t images;        // XObjects and inline images
  };
  const std::vector<Writer> writers = {
      {"img2pdf", "cp @D/img2pdf.pdf @D/w.pdf", 3},
      {"ImageMagick, soft mask", "convert @D/alpha.png @D/photo.jpg PDFA:@D/w.pdf", 3},
      {"Ghostscript",
       "convert @D/alpha.png PDFA:@D/m.pdf && gs -q -sDEVICE=pdfwrite -o @D/w.pdf "
       "@D/m.pdf",
       2},
      {"Ghostscript, inline image",
       "printf '%%!PS\\n72 72 translate 48 48 scale 8 8 8 [8 0 0 8 0 0] {<%s>} image showpage\\n' "
       "$(seq 0 63 | awk '{printf \"%02x\", ($1*29)%256}') > @D/i.ps && gs -q -sDEVICE=pdfwrite "
       "-o @D/w.pdf @D/i.ps",
       1},
      {"qpdf object streams", "qpdf --object-streams=generate @D/img2pdf.pdf @D/w.pdf", 3},
      {"qpdf linearized", "qpdf --linearize --object-streams=generate @D/img2pdf.pdf @D/w.pdf", 3},
      {"RC4 40", "qpdf --allow-weak-crypto --encrypt '' owner 40 -- @D/img2pdf.pdf @D/w.pdf", 3},
      {"RC4 128",
       "qpdf --allow-weak-crypto --encrypt '' owner 128 --use-aes=n -- @D/img2pdf.pdf @D/w.pdf", 3},
      {"AES-128", "qpdf --encrypt '' owner 128 --use-aes=y -- @D/img2pdf.pdf @D/w.pdf", 3},
      {"AES-256 R6", "qpdf --encrypt '' owner 256 -- @D/img2pdf.pdf @D/w.pdf", 3},
      {"AES-256 R5", "qpdf --encrypt '' owner 256 --force-R5 -- @D/img2pdf.pdf @D/w.pdf", 3},
  };
  for (const auto& w : writers) {
    SCOPED_TRACE(w.name);
    const auto made = RunCommand(Expand(w.command));
    ASSERT_EQ(made.status, 0) << made.output;
    const auto path = Path("w.pdf");
    auto plain = path;
    const std::string bytes = test::ReadFile(path);
    if (bytes.find("/Encrypt") != std::string::npos) {
      plain = Path("plain.pdf");
      ASSERT_EQ(RunCommand("qpdf --decrypt " + Quote(path) + " " + Quote(plain)).status, 0);
    }
    const std::multiset<std::string> expected = ImageStreams(plain);
    const Scan scan = ScanBytes(bytes, true);
    ASSERT_EQ(scan.documents.size(), 1u);
    ASSERT_EQ(scan.images.size(), w.images);
    const std::multiset<std::string> copied = CheckPages(scan.images);
    for (const auto& stream : expected) EXPECT_EQ(copied.count(stream), expected.count(stream));
    // pdfimages lists nothing we did not write (inline images included).
    const auto listed = RunCommand("pdfimages -list " + Quote(path));
    EXPECT_EQ(std::count(listed.output.begin(), listed.output.end(), '\n') - 2,
              static_cast<long>(w.images));
  }
}

TEST_F(PDFExtendedTest, PDFsShippedWithThePackages) {
  // Whatever PDFs the installed packages ship (writers of every age): each
  // is one document, and every image XObject comes out whole.
  std::vector<std::filesystem::path> shipped;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator("/usr/share/doc", error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error))
    if (it->path().extension() == ".pdf" && it->is_regular_file()) shipped.push_back(it->path());
  if (shipped.empty()) GTEST_SKIP() << "no PDF under /usr/share/doc";
  for (const auto& path : shipped) {
    SCOPED_TRACE(path.string());
    const Scan scan = ScanBytes(test::ReadFile(path), true);
    EXPECT_EQ(scan.documents.size(), 1u);
    const std::multiset<std::string> expected = ImageStreams(path);
    EXPECT_GE(scan.images.size(), expected.size());
    const std::multiset<std::string> copied = CheckPages(scan.images);
    for (const auto& stream : expected) EXPECT_EQ(copied.count(stream), expected.count(stream));
  }
}

TEST_F(PDFExtendedTest, ClassicRulesFindNoneOfTheNewKinds) {
  // The same files without extended detection: no document for an object
  // stream file, and an encrypted one is reported with no image.
  const auto made = RunCommand(Expand(
      "qpdf --object-streams=generate @D/img2pdf.pdf @D/os.pdf && qpdf --encrypt '' owner 128 "
      "--use-aes=y -- @D/img2pdf.pdf @D/aes.pdf"));
  ASSERT_EQ(made.status, 0) << made.output;
  EXPECT_TRUE(ScanBytes(Bytes("os.pdf"), false).documents.empty());
  LogCapture log;
  const Scan encrypted = ScanBytes(Bytes("aes.pdf"), false);
  EXPECT_EQ(encrypted.documents.size(), 1u);
  EXPECT_TRUE(encrypted.images.empty());
  EXPECT_EQ(log.count("Encrypted PDF, images not saved\n"), 1);
}

TEST_F(PDFExtendedTest, AUserPasswordKeepsTheImages) {
  ASSERT_EQ(
      RunCommand(Expand("qpdf --encrypt user owner 256 -- @D/img2pdf.pdf @D/locked.pdf")).status,
      0);
  LogCapture log;
  const Scan scan = ScanBytes(Bytes("locked.pdf"), true);
  EXPECT_EQ(scan.documents.size(), 1u);
  EXPECT_TRUE(scan.images.empty());
  EXPECT_EQ(log.count("Encrypted PDF needs a password, images not saved\n"), 1);
}

TEST_F(PDFExtendedTest, DocumentsAnywhereAndBackToBack) {
  const std::string pdf = Bytes("img2pdf.pdf");
  ASSERT_EQ(RunCommand(Expand("qpdf --object-streams=generate @D/img2pdf.pdf @D/os.pdf")).status,
            0);
  const std::string os = Bytes("os.pdf");
  const std::string junk(1000, 'x');

  // Inside other data: read from its own bytes, the chain says where.
  Scan inside = ScanBytes(junk + os + "\n" + junk, true);
  ASSERT_EQ(inside.documents.size(), 1u);
  EXPECT_EQ(inside.documents[0].from, 1000u);
  ASSERT_EQ(inside.images.size(), 3u);
  ASSERT_EQ(inside.images[0].chain.size(), 2u);
  EXPECT_EQ(inside.images[0].chain[0], (OriginStep{"pdf-document", 1000, ""}));
  EXPECT_EQ(CheckPages(inside.images), CheckPages(ScanBytes(os, true).images));

  // Back to back: two documents, each with its images; the classic rules
  // take the second for an update of the first, find no trailer in it and
  // report nothing.
  Scan two = ScanBytes(pdf + os, true);
  ASSERT_EQ(two.documents.size(), 2u);
  EXPECT_EQ(two.documents[1].from, pdf.size());
  EXPECT_EQ(two.images.size(), 6u);
  EXPECT_EQ(ScanBytes(pdf + os, false).documents.size(), 0u);
}

TEST_F(PDFExtendedTest, DamagedDocumentsAreRebuilt) {
  ASSERT_EQ(RunCommand(Expand("qpdf --object-streams=generate @D/img2pdf.pdf @D/os.pdf")).status,
            0);
  const std::string classic = Bytes("img2pdf.pdf");
  const std::string streams = Bytes("os.pdf");
  auto replaceLast = [](std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.rfind(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
  };
  const size_t startxref = classic.rfind("startxref\n") + 10;
  struct Case {
    const char* name;
    std::string bytes;
    bool rebuilt = true;
  };
  const std::vector<Case> cases = {
      {"startxref off", classic.substr(0, startxref) + "12" + classic.substr(startxref)},
      // Near the end its startxref is still found; further away it is not.
      {"junk after the end marker", classic + std::string(3000, '\x01') + "%%EOF junk", false},
      {"much junk after the end marker", classic + std::string(9000, '\x01') + "%%EOF junk"},
      {"offsets shifted",
       classic.substr(0, 9) + "%" + std::string(40, 'j') + "\n" + classic.substr(9)},
      {"wrong entry widths", replaceLast(streams, "/W [ 1 2 1 ]", "/W [ 1 1 2 ]")},
      {"stream without its cross-reference stream", replaceLast(streams, "/XRef", "/Xref")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    PDFDocument document;
    document.setExtended(true);
    document.setData(Buffer::fromString(c.bytes));
    EXPECT_EQ(document.recovered(), c.rebuilt);
    const Scan scan = ScanBytes(c.bytes, true);
    EXPECT_EQ(scan.images.size(), 3u);
    EXPECT_EQ(CheckPages(scan.images), ImageStreams(Path("img2pdf.pdf")));
  }
}

TEST_F(PDFExtendedTest, HybridFileTakesObjectsFromItsStream) {
  // The object stream file with a classic table in front of its stream:
  // the table lists the objects in the file, /XRefStm the rest.
  ASSERT_EQ(RunCommand(Expand("qpdf --object-streams=generate @D/img2pdf.pdf @D/os.pdf")).status,
            0);
  std::string bytes = Bytes("os.pdf");
  const size_t streamAt = std::stoul(bytes.substr(bytes.rfind("startxref\n") + 10));
  std::string body = bytes.substr(0, bytes.rfind("startxref"));
  std::map<uint32_t, size_t> offsets;
  // Objects in the file start a line with "N 0 obj".
  for (size_t at = body.find(" 0 obj"); at != std::string::npos; at = body.find(" 0 obj", at + 1)) {
    size_t start = at;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(body[start - 1]))) --start;
    if (start < at && (start == 0 || body[start - 1] == '\n'))
      offsets[std::stoul(body.substr(start, at - start))] = start;
  }
  const uint32_t last = offsets.rbegin()->first;
  std::string table = "xref\n0 " + std::to_string(last + 1) + "\n0000000000 65535 f \n";
  for (uint32_t n = 1; n <= last; ++n)
    table += offsets.count(n) ? test::FileBuilder::Entry(offsets[n]) : "0000000000 00000 f \n";
  const size_t rootAt = bytes.find("/Root ", streamAt);
  ASSERT_NE(rootAt, std::string::npos);
  const std::string root = bytes.substr(rootAt, bytes.find(" R", rootAt) + 2 - rootAt);
  const size_t xref = body.size();
  body += table + "trailer\n<< /Size " + std::to_string(last + 1) + " " + root + " /XRefStm " +
          std::to_string(streamAt) + " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  test::WriteFile(Path("hybrid.pdf"), body);
  ASSERT_EQ(RunCommand("qpdf --check " + Quote(Path("hybrid.pdf"))).status, 0);

  PDFDocument document;
  document.setExtended(true);
  document.setData(Buffer::fromString(body));
  EXPECT_FALSE(document.recovered());
  size_t compressed = 0;
  for (const auto& [number, entry] : document.catalog()) {
    if (!entry->inObjectStream()) continue;
    ++compressed;
    EXPECT_TRUE(entry->object() && entry->object()->description() != "PDFNull") << number;
  }
  EXPECT_GT(compressed, 3u);
  EXPECT_EQ(ScanBytes(body, true).images.size(), 3u);
}

// --- Hand-made documents ------------------------------------------------------

std::string Image(int width, int height, const std::string& entries, const std::string& data) {
  return "<< /Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
         std::to_string(height) + " /BitsPerComponent 8 " + entries + " /Length " +
         std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
}

// A classic file: objects 1..n, then free entries at offset 0 for the
// numbers after them.
std::string ClassicFile(const std::vector<std::string>& bodies, int freeEntries = 0) {
  std::string text = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < bodies.size(); ++i) {
    offsets.push_back(text.size());
    text += std::to_string(i + 1) + " 0 obj\n" + bodies[i] + "\nendobj\n";
  }
  const size_t xref = text.size();
  const size_t size = bodies.size() + 1 + freeEntries;
  text += "xref\n0 " + std::to_string(size) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) text += test::FileBuilder::Entry(offset);
  for (int i = 0; i < freeEntries; ++i) text += "0000000000 00001 f \n";
  text += "trailer\n<< /Size " + std::to_string(size) + " /Root 1 0 R >>\nstartxref\n" +
          std::to_string(xref) + "\n%%EOF\n";
  return text;
}

TEST_F(PDFExtendedTest, FaultsMendedInEveryMode) {
  // The first image 8 MB, then 20 more; 20 free entries at offset 0.
  std::vector<std::string> many = {
      Image(2900, 2900, "/ColorSpace /DeviceGray", std::string(2900 * 2900, '\x80'))};
  for (int i = 0; i < 20; ++i)
    many.push_back(Image(4, 4, "/ColorSpace /DeviceGray", std::string(16, static_cast<char>(i))));
  struct Case {
    const char* name;
    std::string bytes;
    size_t images;
  };
  const std::vector<Case> cases = {
      {"hex string with white space before the size",
       ClassicFile({"<< /Type /XObject /Subtype /Image /ColorSpace [ /Indexed /DeviceRGB 1 "
                    "<FF0000 0000FF> ] /Width 4 /Height 4 /BitsPerComponent 1 /Length 4 "
                    ">>\nstream\n\x90\x60\x90\x60\nendstream"}),
       1},
      {"a null object among the image's",
       ClassicFile(
           {Image(4, 4, "/ColorSpace /DeviceGray /Decode 2 0 R", std::string(16, 'a')), "null"}),
       1},
      {"free entries at offset 0 with a big first image", ClassicFile(many, 20), 21},
  };
  for (const auto& c : cases) {
    for (const bool extended : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (extended ? ", extended" : ", classic"));
      LogCapture log;
      const Scan scan = ScanBytes(c.bytes, extended);
      EXPECT_EQ(scan.images.size(), c.images);
      EXPECT_EQ(log.count("PDF work limit reached\n"), 0);
      CheckPages(scan.images);
    }
  }
}

TEST_F(PDFExtendedTest, AnEndMarkerInsideAStreamDoesNotEndTheDocument) {
  const std::string file =
      ClassicFile({Image(4, 4, "/ColorSpace /DeviceGray", std::string(16, 'a')),
                   "<< /Length 26 >>\nstream\n%!PS-Adobe-3.0\nshowpage\n%%EOF\nendstream",
                   Image(4, 4, "/ColorSpace /DeviceGray", std::string(16, 'b'))});
  const Scan scan = ScanBytes(std::string(500, 'x') + file, true);
  ASSERT_EQ(scan.documents.size(), 1u);
  EXPECT_EQ(scan.documents[0].bytes, file);
  EXPECT_EQ(scan.images.size(), 2u);
}

TEST_F(PDFExtendedTest, ImagesAreTheSameOnlyWhenTheirDecodingIs) {
  const std::string data(36, 'z');
  const std::string gray = Image(6, 6, "/ColorSpace /DeviceGray", data);
  struct Case {
    const char* name;
    std::string second;  // beside `gray`, with the same data
    size_t classic, extended;
  };
  const std::vector<Case> cases = {
      {"identical", gray, 1, 1},
      {"other colour space", Image(6, 6, "/ColorSpace [ /Indexed /DeviceGray 255 <00ff> ]", data),
       1, 2},
      {"other size", Image(4, 9, "/ColorSpace /DeviceGray", data), 1, 2},
      {"other decode array", Image(6, 6, "/ColorSpace /DeviceGray /Decode [ 1 0 ]", data), 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = ClassicFile({gray, c.second});
    EXPECT_EQ(ScanBytes(bytes, false, true).images.size(), c.classic);
    EXPECT_EQ(ScanBytes(bytes, true, true).images.size(), c.extended);
  }
}

// A file whose cross-reference data is a stream (fields 1, 4 and 2 bytes
// wide, not compressed); `rows` and `extra` dictionary entries by case.
struct StreamFile {
  std::string text = "%PDF-1.5\n";
  size_t add(uint32_t number, const std::string& body) {
    const size_t at = text.size();
    text += std::to_string(number) + " 0 obj\n" + body + "\nendobj\n";
    return at;
  }
  static std::string Row(int type, uint32_t field2, uint32_t field3) {
    std::string r(1, static_cast<char>(type));
    for (int i = 3; i >= 0; --i) r += static_cast<char>(field2 >> (8 * i));
    r += static_cast<char>(field3 >> 8);
    r += static_cast<char>(field3);
    return r;
  }
  static std::string XRef(const std::string& entries, const std::string& rows) {
    return "<< /Type /XRef /W [ 1 4 2 ] " + entries + " /Length " + std::to_string(rows.size()) +
           " >>\nstream\n" + rows + "\nendstream";
  }
  std::string finish(size_t xref) {
    return text + "startxref\n" + std::to_string(xref) + "\n%%EOF\n";
  }
};

TEST_F(PDFExtendedTest, HostileStreamsAreBounded) {
  struct Case {
    const char* name;
    std::string bytes;
    size_t maxObjects;
  };
  std::vector<Case> cases;
  const std::string image = Image(4, 4, "/ColorSpace /DeviceGray", std::string(16, 'q'));
  {
    // Two cross-reference streams whose /Prev name each other.
    StreamFile f;
    const size_t one = f.add(1, image);
    const size_t a = f.text.size() + 1000;  // where the second stream will be
    const size_t b = f.add(2, StreamFile::XRef("/Size 3 /Root 1 0 R /Prev " + std::to_string(a),
                                               StreamFile::Row(1, one, 0)));
    f.text += std::string(a - f.text.size(), ' ');
    f.add(3, StreamFile::XRef("/Size 4 /Prev " + std::to_string(b), StreamFile::Row(1, b, 0)));
    cases.push_back({"/Prev loop across streams", f.finish(a), 3});
  }
  auto single = [&](const std::string& entries, const std::string& rows,
                    const std::vector<std::string>& more = {}) {
    StreamFile f;
    f.add(1, image);
    uint32_t n = 2;
    for (const auto& body : more) f.add(n++, body);
    const size_t xref = f.add(n, StreamFile::XRef(entries, rows));
    return f.finish(xref);
  };
  cases.push_back(
      {"/W [8 8 8] and a huge /Size",
       single("/Size 2147483647 /Root 1 0 R", StreamFile::Row(0, 0, 0) + StreamFile::Row(1, 9, 0)),
       2});
  cases.push_back({"/Index claiming 10^9 entries",
                   single("/Index [ 0 1000000000 ] /Root 1 0 R", StreamFile::Row(1, 9, 0)), 2});
  const std::string objects = "10 0 11 2 (a) (b)";
  auto objectStream = [&](const std::string& entries) {
    return "<< /Type /ObjStm " + entries + " /Length " + std::to_string(objects.size()) +
           " >>\nstream\n" + objects + "\nendstream";
  };
  auto withStream = [&](const std::string& entries, uint32_t container) {
    StreamFile f;
    const size_t one = f.add(1, image);
    const size_t two = f.add(2, objectStream(entries));
    const std::string rows = StreamFile::Row(0, 0, 0) + StreamFile::Row(1, one, 0) +
                             StreamFile::Row(1, two, 0) + StreamFile::Row(2, container, 0);
    const size_t xref = f.add(4, StreamFile::XRef("/Index [ 0 3 10 1 ] /Root 1 0 R", rows));
    return f.finish(xref);
  };
  cases.push_back({"object stream /N 10^9", withStream("/N 1000000000 /First 9", 2), 3});
  cases.push_back({"object stream /First past its end", withStream("/N 2 /First 99999", 2), 3});
  cases.push_back(
      {"object in a stream that is itself in a stream", withStream("/N 2 /First 9", 10), 3});
  {
    StreamFile f;
    f.add(1, image);
    f.add(2, objectStream("/N 2 /First 9 /Extends 2 0 R"));
    const std::string rows = StreamFile::Row(0, 0, 0) + StreamFile::Row(1, 9, 0) +
                             StreamFile::Row(2, 2, 0) + StreamFile::Row(2, 2, 1);
    const size_t xref = f.add(4, StreamFile::XRef("/Size 4 /Root 1 0 R", rows));
    cases.push_back({"an object stream inside itself", f.finish(xref), 3});
  }
  {
    std::string repeated = "%PDF-1.4\n";
    while (repeated.size() < (64u << 20)) repeated += "1 0 obj ";
    cases.push_back({"64 MB of \"1 0 obj\"", repeated + "\nstartxref\n0\n%%EOF\n", 1});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    PDFDocument document;
    document.setExtended(true);
    document.setData(Buffer::fromString(c.bytes));
    EXPECT_LE(document.catalog().size(), c.maxObjects);
    EXPECT_LE(document.catalog().size(),
              c.bytes.size() / PDFDocument::kBytesPerObject + PDFDocument::kObjectSlack);
    test::RecordingProgress progress;
    document.setStrellController(&progress);
    document.saveImages(true);
    EXPECT_LE(progress.saved.size(), 1u);
  }
}

TEST(PDFFiltersTest, StringTokenBytes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"(a\\)b)", "a)b"},         {"(\\101\\n\\t)", "A\n\t"},
      {"(a\r\nb\rc)", "a\nb\nc"}, {"(a\\\r\nb\\\nc)", "abc"},
      {"(\\q\\\\)", "q\\"},       {"(\\0053)", "\0053"},
      {"<41 4\n2>", "AB"},        {"<414>", "A@"},
      {"(a(b)c)", "a(b)c"},
  };
  for (const auto& [token, bytes] : cases) EXPECT_EQ(PDFStringBytes(token), bytes) << token;
  EXPECT_EQ(PDFHexString(std::string("\x00\xff", 2)), "<00ff>");
}

TEST(PDFFiltersTest, PredictorsUndoWhatTheyDid) {
  // Three rows of two RGB pixels, filtered with each PNG type as a writer
  // would, and with TIFF's.
  const std::string rows[3] = {"\x10\x20\x30\x40\x50\x60", "\x11\x22\x33\x44\x55\x66",
                               "\xf0\x01\x80\x7f\xff\x09"};
  auto paeth = [](int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
  };
  for (int type = 0; type <= 4; ++type) {
    std::string encoded;
    std::string previous(6, '\0');
    for (const auto& row : rows) {
      encoded += static_cast<char>(type);
      for (int i = 0; i < 6; ++i) {
        const int x = static_cast<uint8_t>(row[i]);
        const int a = i >= 3 ? static_cast<uint8_t>(row[i - 3]) : 0;
        const int b = static_cast<uint8_t>(previous[i]);
        const int c = i >= 3 ? static_cast<uint8_t>(previous[i - 3]) : 0;
        const int predicted[] = {0, a, b, (a + b) / 2, paeth(a, b, c)};
        encoded += static_cast<char>(x - predicted[type]);
      }
      previous = row;
    }
    ASSERT_TRUE(PDFUnpredict(encoded, 15, 3, 8, 2)) << type;
    EXPECT_EQ(encoded, rows[0] + rows[1] + rows[2]) << "PNG type " << type;
  }
  std::string tiff;
  for (const auto& row : rows)
    for (int i = 0; i < 6; ++i) tiff += static_cast<char>(row[i] - (i >= 3 ? row[i - 3] : 0));
  ASSERT_TRUE(PDFUnpredict(tiff, 2, 3, 8, 2));
  EXPECT_EQ(tiff, rows[0] + rows[1] + rows[2]);
  std::string bad = "x";
  EXPECT_FALSE(PDFUnpredict(bad, 12, 0, 8, 1));
}

}  // namespace
}  // namespace strellbox
