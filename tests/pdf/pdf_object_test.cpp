#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pdf/pdf_object.h"
#include "pdf/pdf_test_util.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using test::LogCapture;

template <typename T>
std::shared_ptr<T> As(const PDFObjectPtr& object) {
  return std::dynamic_pointer_cast<T>(object);
}

TEST(PDFObjectTest, Descriptions) {
  auto dict = std::make_shared<PDFDictionary>(
      PDFObjectMap{{"/A", std::make_shared<PDFInteger>(1)}, {"/B", std::make_shared<PDFNull>()}});
  const std::vector<std::pair<PDFObjectPtr, std::string>> cases = {
      {std::make_shared<PDFNull>(), "PDFNull"},
      {std::make_shared<PDFBool>(true), "PDFBool(1)"},
      {std::make_shared<PDFBool>(false), "PDFBool(0)"},
      {std::make_shared<PDFReal>(0.5), "PDFReal(0.500000)"},
      {std::make_shared<PDFInteger>(-3), "PDFInteger(-3)"},
      {std::make_shared<PDFName>("/Width"), "PDFName(/Width)"},
      {std::make_shared<PDFString>("(a\\)b)"), "PDFString((a\\)b))"},
      {std::make_shared<PDFArray>(std::vector<PDFObjectPtr>{std::make_shared<PDFInteger>(1),
                                                            std::make_shared<PDFName>("/N")}),
       "PDFArray[\n PDFInteger(1) \n PDFName(/N) \n]\n"},
      {dict, "PDFDictionary{2}<<\n (/A , PDFInteger(1)) \n (/B , PDFNull) \n>>\n"},
      {std::make_shared<PDFStream>(PDFObjectMap{{"/Length", std::make_shared<PDFInteger>(3)}},
                                   Buffer::fromString("abc")),
       "PDFStream<<\n (/Length , PDFInteger(3)) \n>>\nStream data(3 bytes)\n"},
      {std::make_shared<PDFIndirectObject>(7, 0, 1234), "PDFIndirectObject(1234 7 0){\n}\n"},
      {std::make_shared<PDFIndirectObjectReference>(7, 2), "PDFIndirectObjectReference(7 2)"},
  };
  for (const auto& [object, text] : cases) EXPECT_EQ(object->description(), text);
}

TEST(PDFObjectTest, IntAndStringValues) {
  EXPECT_EQ(std::make_shared<PDFReal>(3.7)->intValue(), 0);
  EXPECT_EQ(std::make_shared<PDFInteger>(5)->stringValue(), std::nullopt);
  EXPECT_EQ(std::make_shared<PDFName>("/Im1")->stringValue(), "/Im1");

  auto indirect = std::make_shared<PDFIndirectObject>(3, 0, 0);
  EXPECT_EQ(indirect->intValue(), 0);
  indirect->setObject(std::make_shared<PDFInteger>(9));
  EXPECT_EQ(indirect->intValue(), 9);
  indirect->setObject(indirect);  // refused: it would own itself
  EXPECT_EQ(indirect->intValue(), 9);

  auto reference = std::make_shared<PDFIndirectObjectReference>(3, 0);
  EXPECT_EQ(reference->intValue(), 0);
  reference->setReferencedObject(indirect->object());
  EXPECT_EQ(reference->intValue(), 9);
  LogCapture log;
  reference->setReferencedObject(reference);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"No Way\n"});
  EXPECT_EQ(reference->intValue(), 0);
}

TEST(PDFObjectTest, ReferenceLinksDoNotOwnTheirTarget) {
  auto reference = std::make_shared<PDFIndirectObjectReference>(1, 0);
  {
    auto target = std::make_shared<PDFInteger>(4);
    reference->setReferencedObject(target);
    EXPECT_EQ(reference->intValue(), 4);
  }
  EXPECT_FALSE(reference->referencedObject());
  EXPECT_EQ(reference->intValue(), 0);
}

TEST(PDFObjectTest, DictionaryEntries) {
  auto dict = As<PDFDictionary>(PDFObject::objectWithString("<< /A 1 /B /X /C 3 >>"));
  auto older = As<PDFDictionary>(PDFObject::objectWithString("<< /A 7 /D (s) >>"));
  ASSERT_TRUE(dict && older);
  EXPECT_EQ(dict->stringForKey("/B"), "/X");
  EXPECT_EQ(dict->stringForKey("/A"), std::nullopt);
  EXPECT_EQ(dict->stringForKey("/Z"), std::nullopt);
  dict->removeObjectForKey("/C");
  dict->addEntriesFromDictionary(*older);
  EXPECT_EQ(dict->description(),
            "PDFDictionary{1}<<\n (/A , PDFInteger(7)) \n (/B , PDFName(/X)) \n"
            " (/D , PDFString((s))) \n>>\n");
}

// Copies object `number` of the file into a fresh catalog.
PDFCatalog CopyOf(test::ObjectFile& file, uint32_t number) {
  PDFCatalog copies;
  PDFCopyCatalog catalog(copies);
  auto copy = file.catalog[number]->deepCopyWithCatalog(catalog);
  EXPECT_EQ(copy, copies[1]);
  return copies;
}

std::string Written(const PDFCatalog& catalog) {
  std::string text;
  for (const auto& [number, object] : catalog)
    text += std::to_string(number) + ": " + object->object()->description();
  return text;
}

TEST(PDFObjectTest, DeepCopyRenumbersInTheOrderFirstReached) {
  struct Case {
    const char* name;
    std::vector<std::string> bodies;  // object 1 is copied
    size_t copies;
    std::string expected;  // descriptions of the copies, by number
  };
  const std::vector<Case> cases = {
      {"self-referring page tree",
       {"<< /Type /Page /Parent 2 0 R >>", "<< /Type /Pages /Kids [ 1 0 R ] >>"},
       2,
       "1: PDFDictionary{1}<<\n (/Parent , PDFIndirectObjectReference(2 0)) \n"
       " (/Type , PDFName(/Page)) \n>>\n"
       "2: PDFDictionary{1}<<\n (/Kids , PDFArray[\n PDFIndirectObjectReference(1 0) \n]\n) \n"
       " (/Type , PDFName(/Pages)) \n>>\n"},
      {"two references to one object",
       {"[ 3 0 R 3 0 R ]", "99", "<< /X 1 >>"},
       2,
       "1: PDFArray[\n PDFIndirectObjectReference(2 0) \n PDFIndirectObjectReference(2 0) \n]\n"
       "2: PDFDictionary{1}<<\n (/X , PDFInteger(1)) \n>>\n"},
      {"length reference becomes the integer",
       {"<< /Length 2 0 R >>\nstream\nabc\nendstream", "3"},
       1,
       "1: PDFStream<<\n (/Length , PDFInteger(3)) \n>>\nStream data(4 bytes)\n"},
      {"depth first",
       {"<< /A 2 0 R /B 3 0 R >>", "[ 4 0 R ]", "(b)", "(a)"},
       4,
       "1: PDFDictionary{1}<<\n (/A , PDFIndirectObjectReference(2 0)) \n"
       " (/B , PDFIndirectObjectReference(4 0)) \n>>\n"
       "2: PDFArray[\n PDFIndirectObjectReference(3 0) \n]\n"
       "3: PDFString((a))"
       "4: PDFString((b))"},
  };
  for (const auto& c : cases) {
    auto file = test::MakeObjectFile(c.bodies);
    test::ParseAll(file);
    PDFCatalog copies = CopyOf(file, 1);
    EXPECT_EQ(copies.size(), c.copies) << c.name;
    EXPECT_EQ(copies.rbegin()->first, c.copies) << c.name;
    EXPECT_EQ(Written(copies), c.expected) << c.name;
  }
}

TEST(PDFObjectTest, DeepCopyGoesOnWithoutMissingTargets) {
  auto file = test::MakeObjectFile({"<< /Gone 9 0 R /Kept [ 9 0 R 1 ] >>"});
  test::ParseAll(file);
  LogCapture log;
  PDFCatalog copies = CopyOf(file, 1);
  EXPECT_EQ(log.count("deepCopyWithCatalog failed: missing referenced object\n"), 2);
  EXPECT_EQ(Written(copies),
            "1: PDFDictionary{1}<<\n (/Kept , PDFArray[\n PDFInteger(1) \n]\n) \n>>\n");
}

TEST(PDFObjectTest, DeepCopyOfALongChain) {
  constexpr int kChain = 100000;
  std::vector<std::string> bodies;
  for (int i = 1; i <= kChain; ++i)
    bodies.push_back(i < kChain ? "[ " + std::to_string(i + 1) + " 0 R ]" : "(end)");
  auto file = test::MakeObjectFile(bodies);
  test::ParseAll(file);
  PDFCatalog copies = CopyOf(file, 1);
  ASSERT_EQ(copies.size(), static_cast<size_t>(kChain));
  // Every copy holds its contents; a chain is numbered along its links.
  for (uint32_t i = 1; i < kChain; ++i) {
    auto array = As<PDFArray>(copies[i]->object());
    ASSERT_TRUE(array) << i;
    auto next = As<PDFIndirectObjectReference>(array->array()[0]);
    ASSERT_EQ(next->objectID(), i + 1) << i;
  }
  EXPECT_EQ(copies[kChain]->object()->stringValue(), "(end)");
  EXPECT_EQ(file.catalog[1]->copyStatus(), 1);
}

TEST(PDFObjectTest, AbstractStubsLog) {
  struct Bare : PDFObject {};
  LogCapture log;
  Bare bare;
  PDFCatalog copies;
  PDFCopyCatalog catalog(copies);
  EXPECT_FALSE(bare.deepCopyWithCatalog(catalog));
  EXPECT_EQ(bare.copyStatus(), 1);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"deepCopyWithCatalog Stub - abstract PDFObject\n"});
}

}  // namespace
}  // namespace strellbox
