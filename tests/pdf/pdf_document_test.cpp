#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pdf/pdf_archiver.h"
#include "pdf/pdf_document.h"
#include "pdf/pdf_test_util.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using test::FileBuilder;
using test::LogCapture;

std::unique_ptr<PDFDocument> Read(const std::string& text, StrellerProgress* progress = nullptr) {
  auto document = std::make_unique<PDFDocument>();
  document->setStrellController(progress);
  document->setData(Buffer::fromString(text));
  return document;
}

const std::string kPad(120, ' ');  // keeps hand-made files above 99 bytes

TEST(PDFDocumentTest, ScanBackToChar) {
  const Buffer data = Buffer::fromString("a%b%c");
  struct Case {
    uint64_t from, lower;
    uint8_t byte;
    bool found;
    uint64_t at;
  };
  for (const Case& c : std::vector<Case>{{4, 0, '%', true, 3},
                                         {2, 0, '%', true, 1},
                                         {4, 2, 'a', false, 4},
                                         {0, 0, 'a', true, 0},
                                         {99, 0, 'c', true, 4},
                                         {2, 3, '%', false, 2}}) {
    uint64_t pos = c.from;
    EXPECT_EQ(ScanBackToChar(data, pos, c.lower, c.byte), c.found) << c.from << " " << c.byte;
    EXPECT_EQ(pos, c.at) << c.from << " " << c.byte;
  }
}

TEST(PDFDocumentTest, FindCatalogAddress) {
  const std::string body = "%PDF-1.4\n" + kPad;
  struct Case {
    const char* name;
    std::string tail;
    uint64_t expected;
  };
  const std::vector<Case> cases = {
      {"plain", "startxref\n1234\n%%EOF\n", 1234},
      {"spaces", "startxref   77 %%EOF", 77},
      {"carriage returns", "startxref\r\n5\r\n%%EOF\r\n", 5},
      {"no number", "startxref\nxx\n%%EOF\n", 0},
      {"negative", "startxref\n-5\n%%EOF\n", 0},
      {"marker followed by more", "startxref\n5\n%%EOF\n" + std::string(40, 'z'), 0},
      {"startxref too far back", "startxref\n5\n" + std::string(40, ' ') + "%%EOF", 0},
      {"one percent sign", "startxref\n9%EOF", 9},
  };
  for (const auto& c : cases) {
    PDFDocument document;
    // findCatalogAddress only; no section exists at these offsets.
    document.setData(Buffer::fromString(body + c.tail));
    EXPECT_EQ(document.findCatalogAddress(), c.expected) << c.name;
    EXPECT_TRUE(document.catalog().empty()) << c.name;
  }
}

TEST(PDFDocumentTest, NewerSectionWinsAndTrailersMerge) {
  FileBuilder file;
  file.text() += kPad;
  file.object(1, "<< /Type /Catalog /Pages 2 0 R >>").object(2, "(old)").object(3, "(three)");
  const uint64_t first = file.section("/Size 4 /Root 1 0 R /Info 3 0 R");
  file.object(2, "(new)");
  file.section("/Size 4 /Root 1 0 R /Prev " + std::to_string(first));

  test::RecordingProgress progress;
  auto document = Read(file.text(), &progress);
  ASSERT_EQ(document->catalog().size(), 3u);
  EXPECT_EQ(document->catalog().at(2)->object()->stringValue(), "(new)");
  EXPECT_EQ(document->catalog().at(3)->object()->stringValue(), "(three)");
  ASSERT_TRUE(document->trailer());
  EXPECT_FALSE(document->trailer()->objectForKey("/Prev"));
  EXPECT_TRUE(document->trailer()->objectForKey("/Info"));
  EXPECT_FALSE(progress.progress.empty());
  for (double p : progress.progress) EXPECT_LE(p, 0.4);
}

TEST(PDFDocumentTest, PrevChainsThatLoopAreReadOnce) {
  for (const std::string prev : {"self", "ring"}) {
    FileBuilder file;
    file.text() += kPad;
    file.object(1, "(one)");
    // The first section points back at the second one (written later).
    const uint64_t first = file.text().size();
    const std::string placeholder = "/Prev 0000000000";
    file.section(prev == "self" ? "/Prev " + std::to_string(first) : placeholder);
    file.object(2, "(two)");
    const uint64_t second = file.section("/Prev " + std::to_string(first));
    std::string& text = file.text();
    const size_t at = text.find(placeholder);
    if (at != std::string::npos) {
      std::string digits = std::to_string(second);
      text.replace(at + 6 + 10 - digits.size(), digits.size(), digits);
    }
    auto document = Read(text);
    EXPECT_EQ(document->catalog().size(), 2u) << prev;
    EXPECT_EQ(document->catalog().at(1)->object()->stringValue(), "(one)") << prev;
  }
}

TEST(PDFDocumentTest, HostileCrossReferenceTables) {
  struct Case {
    const char* name;
    std::string tail;  // appended after a padded header
    size_t objects;    // catalog entries expected
    bool trailerRead = true;
  };
  const std::vector<Case> cases = {
      {"xref offset past the end", "trailer\n<< >>\nstartxref\n99999999\n%%EOF\n", 0},
      {"offset near 2^64", "trailer\n<< >>\nstartxref\n18446744073709551615\n%%EOF\n", 0},
      {"object offsets past the end",
       "xref\n0 3\n0000000000 65535 f \n9999999999 00000 n \n0004000000 00000 n \ntrailer\n<< "
       ">>\nstartxref\n@X\n%%EOF\n",
       2},
      {"entries of non-digits",
       "xref\n0 3\n0000000000 65535 f \n0xyz\xff\xff\xff\xff\xff\xff 0zzzz n \n00000:;<=> 00000 n "
       "\ntrailer\n<< >>\nstartxref\n@X\n%%EOF\n",
       2},
      // Entries are taken until the data ends: the trailer becomes one.
      {"count of 2^31",
       "xref\n1 2147483648\n0000000100 00000 n \n0000000100 00000 n \ntrailer\n<< "
       ">>\nstartxref\n@X\n%%EOF\n",
       3, false},
      {"huge first number",
       "xref\n9223372036854775807 2\n0000000100 00000 n \n0000000100 00000 n \ntrailer\n<< "
       ">>\nstartxref\n@X\n%%EOF\n",
       0},
      {"prev to itself",
       "xref\n1 1\n0000000100 00000 n \ntrailer\n<< /Prev @X >>\nstartxref\n@X\n%%EOF\n", 1},
      // Offset 0 lists nothing: the header is there.
      {"entry at offset 0",
       "xref\n1 1\n0000000000 00000 n \ntrailer\n<< >>\nstartxref\n@X\n%%EOF\n", 0},
      {"no trailer keyword", "xref\n1 1\n0000000100 00000 n \nstartxref\n@X\n%%EOF\n", 1, false},
  };
  for (const auto& c : cases) {
    std::string text = "%PDF-1.4\n" + kPad;
    const std::string xref = std::to_string(text.size());
    std::string tail = c.tail;
    for (size_t at; (at = tail.find("@X")) != std::string::npos;) tail.replace(at, 2, xref);
    LogCapture log;
    auto document = Read(text + tail);
    EXPECT_EQ(document->catalog().size(), c.objects) << c.name;
    const bool sectionRead = c.objects > 0 || std::string(c.name) == "huge first number" ||
                             std::string(c.name) == "entry at offset 0";
    EXPECT_EQ(log.count("Trailer not read\n"), sectionRead && !c.trailerRead ? 1 : 0) << c.name;
  }
}

TEST(PDFDocumentTest, RingsAndDeepPageTrees) {
  // Objects that refer to each other in a ring, and a /Kids chain 10000
  // deep whose last page shows an image: reading and extracting end.
  FileBuilder file;
  file.text() += kPad;
  file.object(1, "<< /Next 2 0 R >>").object(2, "<< /Next 3 0 R >>").object(3, "<< /Next 1 0 R >>");
  constexpr uint32_t kDepth = 10000;
  for (uint32_t i = 0; i < kDepth; ++i) {
    const uint32_t number = 4 + i;
    file.object(number, "<< /Type /Pages /Kids [ " + std::to_string(number + 1) +
                            " 0 R ] /Parent " + std::to_string(i == 0 ? 1 : number - 1) +
                            " 0 R >>");
  }
  const uint32_t image = 4 + kDepth;
  file.object(image, "<< /Subtype /Image /Width 4 /Height 4 /Back " + std::to_string(image - 1) +
                         " 0 R /Length 3 >>\nstream\nabc\nendstream");
  file.section("/Size " + std::to_string(image + 1));
  test::RecordingProgress progress;
  auto document = Read(file.text(), &progress);
  ASSERT_EQ(document->catalog().size(), image);
  document->saveImages(true);
  ASSERT_EQ(progress.saved.size(), 1u);
  // The image and the whole chain behind it, plus the seven page objects.
  auto copy = Read(progress.saved[0].bytes);
  EXPECT_EQ(copy->catalog().size(), image + 7);
}

// --- The writer -----------------------------------------------------------

std::string Write(PDFDocument& document) {
  PDFArchiver archiver;
  document.encodeWithCoder(archiver);
  const auto& bytes = archiver.archiverData();
  return std::string(bytes.begin(), bytes.end());
}

TEST(PDFWriterTest, EmptyDocument) {
  PDFDocument document;
  EXPECT_EQ(Write(document),
            "%PDF-1.3\n%\xC4\xE5\xF2\xE5\xEB\xA7\xF3\xA0\xD0\xC4\xC6\n"
            "xref\n0 1\n0000000000 65535 f \ntrailer\n\nstartxref\n22\n%%EOF\n");
}

TEST(PDFWriterTest, ObjectSyntax) {
  struct Case {
    std::string source;  // parsed, then written
    std::string written;
  };
  for (const auto& c : std::vector<Case>{
           {"<< >>", "<< >>"},
           {"[ ]", "[ ]"},
           {"[ 1 -3 .5 true false /N (a\\)b) <0a> 4 0 R ]",
            "[ 1 -3 0.500000 true false /N (a\\)b) <0a> 4 0 R ]"},
           {"<</B[1]/A<</C 2>>>>", "<< /A << /C 2 >> /B [ 1 ] >>"},
           {"<< /Length 29 >>\nstream\n" + std::string(29, 'x') + "endstream",
            "<< /Length 29 >>\nstream\n" + std::string(29, 'x') + "\nendstream"},
       }) {
    PDFArchiver archiver;
    PDFObject::objectWithString(c.source)->encodeWithCoder(archiver);
    const auto& bytes = archiver.archiverData();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.written) << c.source;
  }
  PDFArchiver archiver;
  auto indirect = std::make_shared<PDFIndirectObject>(3, 0, 0);
  indirect->setObject(std::make_shared<PDFInteger>(7));
  indirect->encodeWithCoder(archiver);
  std::make_shared<PDFNull>()->encodeWithCoder(archiver);
  EXPECT_EQ(std::string(archiver.archiverData().begin(), archiver.archiverData().end()),
            "3 0 obj\n7\nendobj\nnull");
}

TEST(PDFWriterTest, CrossReferenceEntriesPointAtTheirObjects) {
  PDFDocument document;
  document.setCatalogObject(PDFObject::objectWithString("<< /Type /Catalog /Pages 2 0 R >>"), 1);
  document.setCatalogObject(PDFObject::objectWithString("<< /Type /Pages /Count 0 /Kids [ ] >>"),
                            2);
  document.setCatalogObject(PDFObject::objectWithString("(x)"), 3);
  document.setTrailer(std::dynamic_pointer_cast<PDFDictionary>(
      PDFObject::objectWithString("<< /Size 8 /Root 1 0 R >>")));
  const std::string text = Write(document);

  const size_t xref = text.find("xref\n");
  ASSERT_NE(xref, std::string::npos);
  EXPECT_EQ(text.substr(text.find("startxref\n") + 10), std::to_string(xref) + "\n%%EOF\n");
  EXPECT_EQ(text.substr(xref, 29), "xref\n0 4\n0000000000 65535 f \n");
  for (int n = 1; n <= 3; ++n) {
    const std::string entry = text.substr(xref + 9 + 20 * n, 20);
    EXPECT_EQ(entry.substr(10), " 00000 n \n");
    const size_t offset = std::stoul(entry.substr(0, 10));
    EXPECT_EQ(text.substr(offset, 8), std::to_string(n) + " 0 obj\n") << n;
  }
  EXPECT_NE(text.find("trailer\n<< /Root 1 0 R /Size 4 >>\nstartxref"), std::string::npos);
  // What we write reads back as the same document.
  auto again = Read(text + kPad);
  EXPECT_EQ(again->catalog().size(), 0u);  // padding after %%EOF hides the marker
  again = Read(kPad + text);
  EXPECT_EQ(again->catalog().size(), 0u);  // offsets no longer match
  again = Read(text);
  ASSERT_EQ(again->catalog().size(), 3u);
  EXPECT_EQ(again->catalog().at(3)->object()->stringValue(), "(x)");
}

TEST(PDFWriterTest, ArchiverGrowsWithSlack) {
  PDFArchiver archiver(std::vector<uint8_t>(5, 'z'));
  archiver.encodeBytes("ab");
  EXPECT_EQ(archiver.writePosition(), 2u);
  archiver.encodeBytes(std::string(10, 'c'));
  EXPECT_EQ(archiver.writePosition(), 12u);
  EXPECT_EQ(archiver.archiverData().size(), 12u);
  EXPECT_EQ(std::string(archiver.archiverData().begin(), archiver.archiverData().end()),
            "ab" + std::string(10, 'c'));
}

}  // namespace
}  // namespace strellbox
