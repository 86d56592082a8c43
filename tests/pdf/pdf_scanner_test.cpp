#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "pdf/pdf_scanner.h"
#include "pdf/pdf_test_util.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using test::LogCapture;

// Every token of the text, spelled by tokenToString, up to the end or to a
// token that does not move the scanner.
std::vector<std::string> Tokens(const std::string& text) {
  PDFScanner scanner(Buffer::fromString(text), 0);
  std::vector<std::string> tokens;
  for (;;) {
    const PDFToken token = scanner.scanToken();
    tokens.push_back(scanner.tokenToString(token));
    if (token == pdfTokenEOF || token == pdfTokenNone) break;
  }
  return tokens;
}

TEST(PDFScannerTest, TokensOfEveryKind) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> tokens;
  };
  const std::vector<Case> cases = {
      {"point real", ".5", {"pdfTokenReal(0.500000)", "pdfTokenEOF"}},
      {"negative integer", "-3", {"pdfTokenInteger(-3)", "pdfTokenEOF"}},
      {"exponent real", "1e2", {"pdfTokenReal(100.000000)", "pdfTokenEOF"}},
      {"upper-case E is no real",
       "1E2",
       {"pdfTokenInteger(1)", "pdfTokenOperator(E2)", "pdfTokenEOF"}},
      {"nested string", "(a(b)c)", {"pdfTokenString((a(b)c))", "pdfTokenEOF"}},
      {"escaped paren", "(a\\)b)", {"pdfTokenString((a\\)b))", "pdfTokenEOF"}},
      {"unclosed string", "(ab", {"pdfTokenString((ab)", "pdfTokenEOF"}},
      {"backslash at end", "(a\\", {"pdfTokenString((a\\)", "pdfTokenEOF"}},
      {"comment separates",
       "1%x y\n2",
       {"pdfTokenInteger(1)", "pdfTokenInteger(2)", "pdfTokenEOF"}},
      {"tab separates", "1\t2", {"pdfTokenInteger(1)", "pdfTokenInteger(2)", "pdfTokenEOF"}},
      {"comment at end", "1 %x", {"pdfTokenInteger(1)", "pdfTokenEOF"}},
      {"hex string", "<ab>", {"pdfTokenString(<ab>)", "pdfTokenEOF"}},
      {"hex with white space inside",
       "<FF0000 0000FF\n00> 1",
       {"pdfTokenString(<FF0000 0000FF\n00>)", "pdfTokenInteger(1)", "pdfTokenEOF"}},
      {"hex at end", "<ab", {"pdfTokenString(<ab)", "pdfTokenEOF"}},
      {"empty hex", "<>", {"pdfTokenString(<>)", "pdfTokenEOF"}},
      {"digits then word",
       "12abc",
       {"pdfTokenInteger(12)", "pdfTokenOperator(abc)", "pdfTokenEOF"}},
      {"saturate high", "99999999999", {"pdfTokenInteger(2147483647)", "pdfTokenEOF"}},
      {"saturate low", "-99999999999", {"pdfTokenInteger(-2147483648)", "pdfTokenEOF"}},
      {"lone sign", "+ 1", {"pdfTokenInteger(0)", "pdfTokenInteger(1)", "pdfTokenEOF"}},
      {"lone point", ". 1", {"pdfTokenReal(0.000000)", "pdfTokenInteger(1)", "pdfTokenEOF"}},
      {"two reals in one run",
       "1.1.5",
       {"pdfTokenReal(1.100000)", "pdfTokenReal(0.500000)", "pdfTokenEOF"}},
      {"names",
       "/A/B#20 / x",
       {"pdfTokenName(/A)", "pdfTokenName(/B#20)", "pdfTokenName(/)", "pdfTokenOperator(x)",
        "pdfTokenEOF"}},
      {"brackets",
       "[<<>>]",
       {"pdfTokenArrayStart", "pdfTokenDictionaryStart", "pdfTokenDictionaryEnd",
        "pdfTokenArrayEnd", "pdfTokenEOF"}},
      {"words",
       "true false null R",
       {"pdfTokenTrue", "pdfTokenFalse", "pdfTokenOperator(null)", "pdfTokenOperator(R)",
        "pdfTokenEOF"}},
      {"single >", "> 1", {"pdfTokenNone"}},
      {"brace", "{", {"pdfTokenNone"}},
      {"high bytes are regular", "\xC3\xA9x", {"pdfTokenOperator(\xC3\xA9x)", "pdfTokenEOF"}},
      {"empty", "", {"pdfTokenEOF"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Tokens(c.text), c.tokens) << c.name;
}

TEST(PDFScannerTest, RealsAcceptWhatTheCLibraryAccepts) {
  // The scanner works the accepted prefix out itself; it must agree with
  // strtod on a terminated copy in value and length.
  for (const std::string text :
       {"1.5e3", "1.e5", "-.5e-2", "0x1p3e", "0x1.8p1.", "0x.e", "0xg.e", "1e+", "1.5ee", "-inf.e",
        "+nane", "-infinity.", "2e-400", "00000000000000000000000000000000000001.25", "1e99999"}) {
    PDFScanner scanner(Buffer::fromString(text + " "), 0);
    ASSERT_EQ(scanner.scanToken(), pdfTokenReal) << text;
    char* end = nullptr;
    const double expected = std::strtod(text.c_str(), &end);
    const uint64_t accepted = end == text.c_str() ? text.size() : end - text.c_str();
    EXPECT_EQ(scanner.offset(), accepted) << text;
    if (expected == expected) {
      EXPECT_EQ(scanner.scannedReal(), expected) << text;
    } else {
      EXPECT_NE(scanner.scannedReal(), scanner.scannedReal()) << text;
    }
  }
}

TEST(PDFScannerTest, UnscanUndoesTheLastToken) {
  PDFScanner scanner(Buffer::fromString("  /A   % note\n /B"), 0);
  scanner.scanToken();
  scanner.scanToken();
  EXPECT_EQ(scanner.scannedString(), "/B");
  scanner.unscan();
  EXPECT_EQ(scanner.offset(), 4u);
  EXPECT_EQ(scanner.scanToken(), pdfTokenName);
  EXPECT_EQ(scanner.scannedString(), "/B");
}

TEST(PDFScannerTest, ParsesArraysReferencesAndStrings) {
  auto array = std::dynamic_pointer_cast<PDFArray>(PDFObject::objectWithString("[ 1 2 3 ]"));
  ASSERT_TRUE(array);
  ASSERT_EQ(array->array().size(), 3u);
  EXPECT_EQ(array->array()[2]->intValue(), 3);

  for (const std::string word : {"R", "obj", "anything"}) {
    auto refs =
        std::dynamic_pointer_cast<PDFArray>(PDFObject::objectWithString("[ 1 0 " + word + " 5 ]"));
    ASSERT_TRUE(refs);
    ASSERT_EQ(refs->array().size(), 2u) << word;
    auto ref = std::dynamic_pointer_cast<PDFIndirectObjectReference>(refs->array()[0]);
    ASSERT_TRUE(ref) << word;
    EXPECT_EQ(ref->objectID(), 1u);
    EXPECT_EQ(ref->generation(), 0u);
    EXPECT_FALSE(ref->referencedObject());
    EXPECT_EQ(refs->array()[1]->description(), "PDFInteger(5)");
  }

  // Two integers not followed by a word: only the first is consumed.
  auto ints = std::dynamic_pointer_cast<PDFArray>(PDFObject::objectWithString("[ 1 2 /N ]"));
  ASSERT_TRUE(ints);
  EXPECT_EQ(ints->description(), "PDFArray[\n PDFInteger(1) \n PDFInteger(2) \n PDFName(/N) \n]\n");

  auto strings = std::dynamic_pointer_cast<PDFArray>(PDFObject::objectWithString("[ <ab> <cd> ]"));
  ASSERT_TRUE(strings);
  ASSERT_EQ(strings->array().size(), 2u);
  EXPECT_EQ(strings->array()[0]->stringValue(), "<ab>");
  EXPECT_EQ(strings->array()[1]->stringValue(), "<cd>");

  EXPECT_FALSE(PDFObject::objectWithString("null"));
  EXPECT_FALSE(PDFObject::objectWithString("]"));
  EXPECT_FALSE(PDFObject::objectWithString(""));
}

TEST(PDFScannerTest, DictionaryDropsAnEntryWithoutValue) {
  LogCapture log;
  auto dict =
      std::dynamic_pointer_cast<PDFDictionary>(PDFObject::objectWithString("<< /A null /B 2 >>"));
  ASSERT_TRUE(dict);
  EXPECT_EQ(log.count("Dictionary parse Error\n"), 1);
  EXPECT_EQ(dict->dictionary().size(), 1u);
  EXPECT_EQ(dict->objectForKey("/B")->intValue(), 2);
  EXPECT_FALSE(dict->objectForKey("/A"));
}

TEST(PDFScannerTest, StreamRunsToEndstream) {
  auto stream = std::dynamic_pointer_cast<PDFStream>(
      PDFObject::objectWithString("<< /Length 3 >>\nstream\r\nabc\nendstream"));
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->data().view(), "abc\n");
  EXPECT_EQ(stream->objectForKey("/Length")->intValue(), 3);

  // A lone CR after the keyword is data.
  auto cr = std::dynamic_pointer_cast<PDFStream>(
      PDFObject::objectWithString("<<>> stream\rxy endstream"));
  ASSERT_TRUE(cr);
  EXPECT_EQ(cr->data().view(), "\rxy ");
}

TEST(PDFScannerTest, StreamWithoutEndstreamTakesTheRest) {
  LogCapture log;
  const std::string text = "<< /Length 5 >> stream\nhello world";
  auto stream = std::dynamic_pointer_cast<PDFStream>(PDFObject::objectWithString(text));
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->data().view(), "hello world");
  const size_t first = text.find("hello");
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Missing endstream(" + std::to_string(first) + ")\n"});
}

TEST(PDFScannerTest, ReferenceResolvedDuringItsTargetsParse) {
  // Object 1 refers to object 2, which refers back to 1 while 1 is parsed.
  auto file = test::MakeObjectFile({"<< /Kids [ 2 0 R ] >>", "<< /Parent 1 0 R >>"});
  test::ParseAll(file);
  auto pages = std::dynamic_pointer_cast<PDFDictionary>(file.catalog[1]->object());
  auto page = std::dynamic_pointer_cast<PDFDictionary>(file.catalog[2]->object());
  ASSERT_TRUE(pages);
  ASSERT_TRUE(page);
  auto parent =
      std::dynamic_pointer_cast<PDFIndirectObjectReference>(page->objectForKey("/Parent"));
  ASSERT_TRUE(parent);
  // The link made during the parse leads to the placeholder, still alive.
  auto placeholder = parent->referencedObject();
  ASSERT_TRUE(placeholder);
  EXPECT_EQ(placeholder->description(), "PDFNull");
  EXPECT_EQ(parent->referencedIndirectObject(), file.catalog[1]);
  auto kids = std::dynamic_pointer_cast<PDFArray>(pages->objectForKey("/Kids"));
  auto kid = std::dynamic_pointer_cast<PDFIndirectObjectReference>(kids->array()[0]);
  EXPECT_EQ(kid->referencedObject(), page);
}

TEST(PDFScannerTest, MissingObjectKeepsThePlaceholder) {
  LogCapture log;
  auto file = test::MakeObjectFile({"<< /A 2 0 R /B 9 0 R >>", "endobj"});
  test::ParseAll(file);
  EXPECT_EQ(log.count("Missing PDF Object\n"), 1);
  EXPECT_EQ(file.catalog[2]->object()->description(), "PDFNull");
  auto dict = std::dynamic_pointer_cast<PDFDictionary>(file.catalog[1]->object());
  auto a = std::dynamic_pointer_cast<PDFIndirectObjectReference>(dict->objectForKey("/A"));
  EXPECT_EQ(a->referencedObject(), file.catalog[2]->object());
  auto b = std::dynamic_pointer_cast<PDFIndirectObjectReference>(dict->objectForKey("/B"));
  EXPECT_FALSE(b->referencedObject());
  EXPECT_FALSE(b->referencedIndirectObject());
}

TEST(PDFScannerTest, ProgressAndStop) {
  std::vector<std::string> bodies(250, "<< /A 1 >>");
  auto file = test::MakeObjectFile(bodies);
  test::RecordingProgress progress;
  PDFScanner scanner(file.data, 0);
  scanner.setStrellController(&progress);
  scanner.parseCatalog(&file.catalog);
  // Twice from the object parse (100th and 200th call), twice from the
  // catalog loop (after 100 and 200 objects).
  const std::vector<double> expected = {0.28, 0.28, 0.36, 0.36};
  ASSERT_EQ(progress.progress.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_NEAR(progress.progress[i], expected[i], 1e-12);
  EXPECT_EQ(scanner.parsedObjects(), 250);

  auto stopped = test::MakeObjectFile(bodies);
  progress.stop = true;
  PDFScanner again(stopped.data, 0);
  again.setStrellController(&progress);
  EXPECT_FALSE(again.parseIndirectObject(1));
  again.parseCatalog(&stopped.catalog);
  EXPECT_FALSE(stopped.catalog[1]->object());
}

TEST(PDFScannerTest, LongReferenceChainIsResolvedWithoutDeepRecursion) {
  // Each object refers to the next: resolving object 1 reaches all of them.
  constexpr int kChain = 100000;
  std::vector<std::string> bodies;
  for (int i = 1; i <= kChain; ++i)
    bodies.push_back(i < kChain ? "<< /Next " + std::to_string(i + 1) + " 0 R >>" : "42");
  auto file = test::MakeObjectFile(bodies);
  PDFScanner scanner(file.data, 0);
  scanner.setCatalog(&file.catalog);
  ASSERT_TRUE(scanner.parseIndirectObject(1));
  EXPECT_EQ(scanner.parsedObjects(), kChain);
  for (int i = 1; i < kChain; ++i) {
    auto dict = std::dynamic_pointer_cast<PDFDictionary>(file.catalog[i]->object());
    ASSERT_TRUE(dict) << i;
    auto next = std::dynamic_pointer_cast<PDFIndirectObjectReference>(dict->objectForKey("/Next"));
    ASSERT_TRUE(next) << i;
    ASSERT_EQ(next->referencedObject(), file.catalog[i + 1]->object()) << i;
    ASSERT_EQ(next->referencedIndirectObject(), file.catalog[i + 1]) << i;
  }
  EXPECT_EQ(file.catalog[kChain]->intValue(), 42);
}

TEST(PDFScannerTest, DeepNestingEndsTheObject) {
  for (const std::string open : {"[", "<< /A "}) {
    std::string text;
    for (int i = 0; i < 1000000; ++i) text += open;
    LogCapture log;
    PDFObjectPtr object = PDFObject::objectWithString(text);
    ASSERT_TRUE(object) << open;
    int depth = 0;
    while (object) {
      ++depth;
      if (auto array = std::dynamic_pointer_cast<PDFArray>(object)) {
        object = array->array().empty() ? nullptr : array->array()[0];
      } else if (auto dict = std::dynamic_pointer_cast<PDFDictionary>(object)) {
        object = dict->objectForKey("/A");
      } else {
        break;
      }
    }
    EXPECT_EQ(depth, PDFScanner::kMaxNesting) << open;
  }
}

TEST(PDFScannerTest, WorkBudgetEndsTheData) {
  // Objects listed at one offset of a long array would each parse all of
  // it; the budget stops that after a bounded amount of work.
  std::string text = "1 0 obj [";
  for (int i = 0; i < 20000; ++i) text += " 1";
  text += " ]";
  PDFCatalog catalog;
  for (uint32_t i = 1; i <= 5000; ++i) catalog[i] = std::make_shared<PDFIndirectObject>(i, 0, 0);
  uint64_t budget = 4 * text.size();
  PDFScanner scanner(Buffer::fromString(text), 0);
  scanner.setWorkBudget(&budget);
  LogCapture log;
  scanner.parseCatalog(&catalog);
  EXPECT_EQ(budget, 0u);
  // The catalog walk ends with the budget instead of trying the thousands
  // of objects left, each of which could read nothing.
  EXPECT_EQ(log.count("PDF work limit reached\n"), 1);
  int tried = 0;
  for (const auto& [number, indirect] : catalog) tried += indirect->object() != nullptr;
  EXPECT_GE(tried, 1);
  EXPECT_LE(tried, 5);
}

}  // namespace
}  // namespace strellbox
