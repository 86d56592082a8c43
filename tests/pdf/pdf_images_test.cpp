// Image extraction and the PDF pass: hand-made documents for the exact
// layout of the one-page files, and PDFs written by real writers (ImageMagick,
// img2pdf, Ghostscript) whose extracted pages must check clean with qpdf,
// render with pdftoppm and keep every raw image stream byte for byte.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/strell_controller.h"
#include "pdf/pdf_archiver.h"
#include "pdf/pdf_document.h"
#include "pdf/pdf_test_util.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using test::FileBuilder;
using test::RecordingProgress;

const std::string kPad(120, ' ');

using test::CommandRun;
using test::Quote;
using test::RunCommand;

// Image streams worth a file (more than 2 pixels each way), by number.
std::vector<uint32_t> ImageNumbers(const PDFDocument& document) {
  std::vector<uint32_t> numbers;
  for (const auto& [number, indirect] : document.catalog()) {
    auto stream = std::dynamic_pointer_cast<PDFStream>(indirect->object());
    if (!stream || stream->stringForKey("/Subtype") != "/Image") continue;
    auto side = [&](const char* key) {
      auto value = stream->objectForKey(key);
      return value ? value->intValue() : 0;
    };
    if (side("/Width") > 2 && side("/Height") > 2) numbers.push_back(number);
  }
  return numbers;
}

std::unique_ptr<PDFDocument> Read(const std::string& bytes) {
  auto document = std::make_unique<PDFDocument>();
  document->setData(Buffer::fromString(bytes));
  return document;
}

// The one-page files made from the bytes, in the order saved.
std::vector<RecordingProgress::Saved> Extract(const std::string& bytes, bool dontSaveDuplicates) {
  RecordingProgress progress;
  EXPECT_EQ(
      StrellPDFDocument(Buffer::fromString(bytes), &progress, "source.pdf", dontSaveDuplicates), 1);
  return progress.saved;
}

std::string ImageDictionary(int width, int height, const std::string& extra) {
  return "<< /Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
         std::to_string(height) + " /ColorSpace /DeviceGray /BitsPerComponent 8 " + extra + " >>";
}

std::string Stream(const std::string& dictionary, const std::string& data) {
  return dictionary + "\nstream\n" + data + "\nendstream";
}

TEST(PDFImagesTest, PageIsBuiltAroundTheImage) {
  FileBuilder file;
  file.text() += kPad;
  file.object(1, Stream(ImageDictionary(640, 480, "/Name /Im1 /Length 4"), "abcd"));
  file.section("/Size 2");
  auto saved = Extract(file.text(), true);
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0].type, "pdf");
  EXPECT_EQ(saved[0].original, "source.pdf");
  EXPECT_EQ(saved[0].foundNo, 1);

  auto page = Read(saved[0].bytes);
  ASSERT_EQ(page->catalog().size(), 8u);
  auto content = std::dynamic_pointer_cast<PDFStream>(page->catalog().at(2)->object());
  ASSERT_TRUE(content);
  EXPECT_EQ(content->data().view(), " q 640 0 0 480 0 0 cm /Im1 Do Q \n");  // EOL before endstream
  EXPECT_EQ(content->objectForKey("/Length")->intValue(), 32);
  const std::vector<std::string> expected = {
      "PDFDictionary{1}<<\n (/ProcSet , PDFArray[\n PDFName(/PDF) \n PDFName(/ImageB) \n "
      "PDFName(/ImageC) \n PDFName(/ImageI) \n]\n) \n (/XObject , PDFDictionary{1}<<\n (/Im1 , "
      "PDFIndirectObjectReference(1 0)) \n>>\n) \n>>\n",
      "PDFDictionary{1}<<\n (/Contents , PDFIndirectObjectReference(2 0)) \n (/MediaBox , "
      "PDFArray[\n PDFInteger(0) \n PDFInteger(0) \n PDFInteger(640) \n PDFInteger(480) \n]\n) \n "
      "(/Parent , PDFIndirectObjectReference(5 0)) \n (/Resources , "
      "PDFIndirectObjectReference(3 0)) \n (/Type , PDFName(/Page)) \n>>\n",
  };
  EXPECT_EQ(page->catalog().at(3)->object()->description(), expected[0]);
  EXPECT_EQ(page->catalog().at(4)->object()->description(), expected[1]);
  EXPECT_NE(saved[0].bytes.find("/Producer (Streller 1.0 Extracted PDF Image)"), std::string::npos);
  EXPECT_NE(saved[0].bytes.find("[ <f03577de61262cd390389ce5de81a0d3> "
                                "<f03577de61262cd390389ce5de81a0d3> ]"),
            std::string::npos);
}

TEST(PDFImagesTest, RenumbersTheImageAndItsLength) {
  FileBuilder file;
  file.text() += kPad;
  for (uint32_t n = 1; n <= 11; ++n) file.object(n, "(filler)");
  file.object(12, Stream(ImageDictionary(8, 8, "/Length 13 0 R"), "0123456789"));
  file.object(13, "10");
  file.section("/Size 14");
  auto saved = Extract(file.text(), true);
  ASSERT_EQ(saved.size(), 1u);
  const std::string& bytes = saved[0].bytes;
  EXPECT_NE(bytes.find("1 0 obj\n<< /BitsPerComponent 8 /ColorSpace /DeviceGray /Height 8 "
                       "/Length 10 /Subtype /Image /Type /XObject /Width 8 >>\nstream\n"),
            std::string::npos);
  EXPECT_NE(bytes.find("trailer\n<< /ID 7 0 R /Info 8 0 R /Root 6 0 R /Size 9 >>\nstartxref\n"),
            std::string::npos);
  EXPECT_NE(bytes.find("/XObject << /StrelledImage 1 0 R >>"), std::string::npos);
  auto page = Read(bytes);
  ASSERT_EQ(page->catalog().size(), 8u);
  EXPECT_EQ(page->catalog().at(6)->object()->description(),
            "PDFDictionary{1}<<\n (/Pages , PDFIndirectObjectReference(5 0)) \n (/Type , "
            "PDFName(/Catalog)) \n>>\n");
}

TEST(PDFImagesTest, DuplicatesAndSmallImages) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, int>> sizes;  // images with identical data
    bool dontSaveDuplicates;
    size_t files;
  };
  const std::vector<Case> cases = {
      {"identical, dropped", {{4, 4}, {4, 4}}, true, 1},
      {"identical, kept", {{4, 4}, {4, 4}}, false, 2},
      {"too narrow, digest kept", {{2, 100}, {4, 4}}, true, 0},
      {"too low", {{100, 2}}, false, 0},
      {"three pixels", {{3, 3}}, false, 1},
  };
  for (const auto& c : cases) {
    FileBuilder file;
    file.text() += kPad;
    uint32_t n = 1;
    for (auto [w, h] : c.sizes)
      file.object(n++, Stream(ImageDictionary(w, h, "/Length 5"), "same!"));
    file.object(n++, Stream("<< /Subtype /Form /Length 5 >>", "other"));
    file.section("/Size " + std::to_string(n));
    auto saved = Extract(file.text(), c.dontSaveDuplicates);
    ASSERT_EQ(saved.size(), c.files) << c.name;
    for (size_t i = 0; i < saved.size(); ++i) EXPECT_EQ(saved[i].foundNo, int32_t(i + 1)) << c.name;
  }
}

TEST(PDFImagesTest, StopRequestEndsTheLoop) {
  FileBuilder file;
  file.text() += kPad;
  file.object(1, Stream(ImageDictionary(4, 4, "/Length 1"), "a"));
  file.section("/Size 2");
  RecordingProgress progress;
  PDFDocument document;
  document.setStrellController(&progress);
  document.setData(Buffer::fromString(file.text()));
  progress.stop = true;
  document.saveImages(true);
  EXPECT_TRUE(progress.saved.empty());
}

// --- The PDF pass -----------------------------------------------------------

// A small document with one image, made by hand, `size` bytes or more.
std::string HandMadePDF(size_t padding) {
  FileBuilder file;
  file.text() += std::string(padding, ' ');
  file.object(1, Stream(ImageDictionary(4, 4, "/Length 3"), "xyz"));
  file.section("/Size 2");
  return file.text();
}

TEST(PDFPassTest, ReportsDocuments) {
  StrellController controller;
  controller.setExtendedDetection(false);
  test::ItemRecorder recorder(controller);
  const std::string pdf = HandMadePDF(120);

  // At offset 1000: reported, not opened.
  const std::string embedded = std::string(1000, 'x') + pdf + "\r\n \ntail";
  EXPECT_EQ(RunPass(controller, strellbox::strellPDF, Buffer::fromString(embedded), "a.bin"), 1);
  ASSERT_EQ(recorder.items().size(), 1u);
  EXPECT_EQ(recorder.items()[0].from, 1000u);
  EXPECT_EQ(recorder.items()[0].bytes, pdf + "\r\n \n");
  EXPECT_EQ(recorder.items()[0].foundNo, 0);

  // Two back to back: numbered 0 and 1. The first, at offset 0, is opened,
  // but the buffer's last startxref is the second one's and leads nowhere
  // in the first, so no image comes of it.
  EXPECT_EQ(RunPass(controller, strellbox::strellPDF, Buffer::fromString(pdf + HandMadePDF(200)),
                    "two.pdf"),
            2);
  ASSERT_EQ(recorder.items().size(), 3u);
  EXPECT_EQ(recorder.items()[1].from, 0u);
  EXPECT_EQ(recorder.items()[2].from, pdf.size());
  EXPECT_EQ(recorder.items()[2].foundNo, 1);

  // Alone at offset 0: reported and its image saved.
  EXPECT_EQ(RunPass(controller, strellbox::strellPDF, Buffer::fromString(pdf), "one.pdf"), 1);
  ASSERT_EQ(recorder.items().size(), 5u);
  EXPECT_EQ(recorder.items()[3].length, pdf.size());
  EXPECT_EQ(recorder.items()[4].foundNo, 1);
  EXPECT_EQ(recorder.items()[4].type, "pdf");

  // Too small, or without a trailer keyword: nothing.
  const std::string tiny = "%PDF-1.4\n" + std::string(120, ' ') + "trailer startxref %%EOF";
  const std::string streams = "%PDF-1.5\n" + std::string(300, ' ') + "\nstartxref\n9\n%%EOF\n";
  EXPECT_EQ(RunPass(controller, strellbox::strellPDF, Buffer::fromString(tiny), "tiny.pdf"), 0);
  EXPECT_EQ(RunPass(controller, strellbox::strellPDF, Buffer::fromString(streams), "x.pdf"), 0);
  EXPECT_EQ(recorder.items().size(), 5u);
}

// --- Real writers -------------------------------------------------------------

class RealPDFTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto& d = dir_.path();
    ASSERT_EQ(
        RunCommand("convert -size 64x48 gradient:red-blue -quality 85 " + Quote(d / "photo.jpg"))
            .status,
        0);
    ASSERT_EQ(
        RunCommand("convert -size 40x30 gradient:green-yellow -depth 8 " + Quote(d / "flat.png"))
            .status,
        0);
    ASSERT_EQ(RunCommand("convert -size 50x40 gradient:red-blue -alpha set -channel A -evaluate "
                         "set 50% +channel -depth 8 " +
                         Quote(d / "alpha.png"))
                  .status,
              0);
  }

  std::filesystem::path make(const std::string& name, const std::string& command) {
    const auto path = dir_.path() / name;
    // "@OUT" in the command stands for the output file.
    std::string line = command;
    line.replace(line.find("@OUT"), 4, Quote(path));
    const CommandRun run = RunCommand(line);
    EXPECT_EQ(run.status, 0) << command << "\n" << run.output;
    return path;
  }

  // Extracts every image of the file and checks each one-page PDF.
  void checkExtraction(const std::filesystem::path& source, size_t expectedImages) {
    SCOPED_TRACE(source.filename().string());
    const std::string bytes = test::ReadFile(source);
    auto document = Read(bytes);
    const std::vector<uint32_t> images = ImageNumbers(*document);
    ASSERT_EQ(images.size(), expectedImages);
    auto saved = Extract(bytes, false);
    ASSERT_EQ(saved.size(), images.size());
    for (size_t i = 0; i < saved.size(); ++i) {
      const auto out = dir_.path() / ("out-" + std::to_string(i) + ".pdf");
      test::WriteFile(out, saved[i].bytes);
      const CommandRun check = RunCommand("qpdf --check " + Quote(out));
      EXPECT_EQ(check.status, 0) << check.output;
      EXPECT_EQ(check.output.find("WARNING"), std::string::npos) << check.output;
      const CommandRun render = RunCommand("pdftoppm -png -r 72 " + Quote(out) + " " +
                                           Quote(dir_.path() / ("page-" + std::to_string(i))));
      EXPECT_EQ(render.status, 0) << render.output;
      EXPECT_EQ(render.output, "");
      const CommandRun original = RunCommand("qpdf --show-object=" + std::to_string(images[i]) +
                                             " --raw-stream-data " + Quote(source));
      const CommandRun copied = RunCommand("qpdf --show-object=1 --raw-stream-data " + Quote(out));
      ASSERT_EQ(original.status, 0);
      EXPECT_FALSE(original.output.empty());
      EXPECT_TRUE(original.output == copied.output) << "image object " << images[i];
    }
  }

  test::TempDir dir_;
};

TEST_F(RealPDFTest, Img2pdfJpegAndFlate) {
  const auto& d = dir_.path();
  checkExtraction(make("img2pdf.pdf", "img2pdf " + Quote(d / "photo.jpg") + " " +
                                          Quote(d / "flat.png") + " -o @OUT"),
                  2);
}

TEST_F(RealPDFTest, ImageMagickSoftMaskAndIndirectLength) {
  const auto path =
      make("magick.pdf", "convert " + Quote(dir_.path() / "alpha.png") + " EPDF:@OUT");
  const std::string bytes = test::ReadFile(path);
  ASSERT_NE(bytes.find("/SMask"), std::string::npos);
  ASSERT_NE(bytes.find("/Length 5 0 R"), std::string::npos);
  // The image with its mask among its objects, and the mask on its own.
  checkExtraction(path, 2);
  auto saved = Extract(bytes, true);
  ASSERT_EQ(saved.size(), 2u);
  auto withMask = Read(saved[0].bytes);
  auto image = std::dynamic_pointer_cast<PDFStream>(withMask->catalog().at(1)->object());
  ASSERT_TRUE(image);
  auto mask = std::dynamic_pointer_cast<PDFIndirectObjectReference>(image->objectForKey("/SMask"));
  ASSERT_TRUE(mask);
  EXPECT_GT(mask->objectID(), 1u);
  auto maskStream = std::dynamic_pointer_cast<PDFStream>(mask->referencedObject());
  ASSERT_TRUE(maskStream);
  EXPECT_EQ(maskStream->stringForKey("/Subtype"), "/Image");
}

TEST_F(RealPDFTest, GhostscriptRewrite) {
  const auto magick =
      make("magick.pdf", "convert " + Quote(dir_.path() / "alpha.png") + " EPDF:@OUT");
  checkExtraction(make("gs.pdf", "gs -q -sDEVICE=pdfwrite -o @OUT " + Quote(magick)), 2);
}

TEST_F(RealPDFTest, IncrementalUpdateReplacesAnImage) {
  const auto path =
      make("magick.pdf", "convert " + Quote(dir_.path() / "photo.jpg") + " EPDF:@OUT");
  std::string bytes = test::ReadFile(path);
  auto document = Read(bytes);
  const std::vector<uint32_t> images = ImageNumbers(*document);
  ASSERT_EQ(images.size(), 1u);
  ASSERT_TRUE(document->trailer());

  // A new version of the image object, a gray 16 x 16 gradient, appended
  // as an update with its own section and a /Prev link.
  std::string pixels;
  for (int i = 0; i < 256; ++i) pixels += static_cast<char>(i);
  std::vector<uint8_t> packed(compressBound(pixels.size()));
  uLongf packedSize = packed.size();
  ASSERT_EQ(compress(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(pixels.data()),
                     pixels.size()),
            Z_OK);
  const std::string data(packed.begin(), packed.begin() + packedSize);
  PDFArchiver root;
  document->trailer()->objectForKey("/Root")->encodeWithCoder(root);
  const std::string rootText(root.archiverData().begin(), root.archiverData().end());
  const uint64_t previous = document->findCatalogAddress();

  const uint64_t objectOffset = bytes.size();
  bytes +=
      std::to_string(images[0]) + " 0 obj\n" +
      Stream(ImageDictionary(
                 16, 16, "/Filter /FlateDecode /Name /Upd /Length " + std::to_string(data.size())),
             data) +
      "\nendobj\n";
  const uint64_t xref = bytes.size();
  bytes += "xref\n" + std::to_string(images[0]) + " 1\n" + FileBuilder::Entry(objectOffset) +
           "trailer\n<< /Size " +
           std::to_string(document->trailer()->objectForKey("/Size")->intValue()) + " /Root " +
           rootText + " /Prev " + std::to_string(previous) + " >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
  const auto updated = dir_.path() / "updated.pdf";
  test::WriteFile(updated, bytes);
  ASSERT_EQ(RunCommand("qpdf --check " + Quote(updated)).status, 0);

  // Reported once, to the end; its image is the new version.
  StrellController controller;
  test::ItemRecorder recorder(controller);
  EXPECT_EQ(RunPass(controller, strellbox::strellPDF, Buffer::fromString(bytes), "updated.pdf"), 1);
  ASSERT_EQ(recorder.items().size(), 2u);
  EXPECT_EQ(recorder.items()[0].length, bytes.size());
  EXPECT_NE(recorder.items()[1].bytes.find("/Name /Upd"), std::string::npos);
  checkExtraction(updated, 1);
}

}  // namespace
}  // namespace strellbox
