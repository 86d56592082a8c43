// HTML documents and readable text.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "extractors/text.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ItemRecorder;
using test::TempDir;

constexpr uint64_t npos = Buffer::npos;

std::string Pad(std::string s, size_t n, char c = ' ') { return s + std::string(n - s.size(), c); }

std::string Doc(const std::string& title, const std::string& body = "<p>text</p>") {
  return "<html><head><title>" + title + "</title></head><body>" + body + "</body></html>";
}

// --- HTML ----------------------------------------------------------------------

TEST(StrellHTML, FindsDocumentsAndNamesThemAfterTheirTitles) {
  const std::string doc = Doc("Home");
  const std::string big = Doc("Home", std::string(60, 'x'));
  const std::string doctype = Pad("<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01//EN\"", 79) + "\n";
  struct Item {
    uint64_t from, length;
    std::string original;
    int32_t foundNo;
  };
  struct Case {
    const char* name;
    std::string data;
    std::vector<Item> items;
    bool atomic;
  } cases[] = {
      {"100 bytes are too few", std::string(100 - doc.size(), ' ') + doc, {}, false},
      {"101 bytes are scanned",
       std::string(101 - doc.size(), ' ') + doc,
       {{101 - doc.size(), doc.size(), "Home", 0}},
       false},
      {"document type line 80 bytes before, whole file",
       doctype + doc,
       {{0, doctype.size() + doc.size(), "Home", 0}},
       true},
      {"document type 127 bytes back counts",
       "<!DOC" + std::string(122, 'x') + doc,
       {{0, 127 + doc.size(), "Home", 0}},
       true},
      {"document type 128 bytes back does not",
       "<!DOC" + std::string(123, 'x') + doc,
       {{128, doc.size(), "Home", 0}},
       false},
      {"the nearer of two document types",
       Pad("<!DOC a <!DOC b " + doc, 120),
       {{8, 8 + doc.size(), "Home", 0}},
       false},
      // Documents may overlap: the next one reaches back into the last.
      {"a document type inside the last document starts the next",
       Pad("<html><title>A</title><!DOCTYPE></html><html>two</html>", 120),
       {{0, 39, "A", 0}, {22, 33, "A", 1}},
       false},
      {"one document type starts two documents within reach",
       Pad("<!DOC " + doc + "<html>two</html>", 200),
       {{0, 6 + doc.size(), "Home", 0}, {0, 6 + doc.size() + 16, "Home", 1}},
       false},
      {"upper case tags",
       "<HTML><TITLE>Up</TITLE>" + std::string(100, ' ') + "</HTML>",
       {{0, 130, "Up", 0}},
       true},
      {"mixed case tags are not recognised",
       "<Html><title>Mixed</title>" + std::string(100, ' ') + "</Html>",
       {},
       false},
      {"seven bytes after the end: the whole buffer",
       big + "1234567",
       {{0, big.size(), "Home", 0}},
       true},
      {"eight bytes after the end: not the whole buffer",
       big + "12345678",
       {{0, big.size(), "Home", 0}},
       false},
      {"title filtered: colon, slash and control bytes go, spaces stay",
       Pad(Doc("A: b/c\td\n e"), 120),
       {{0, Doc("A: b/c\td\n e").size(), "A bcd e", 0}},
       false},
      {"title cut to 64 bytes",
       Pad(Doc(std::string(100, 'T')), 300),
       {{0, Doc(std::string(100, 'T')).size(), std::string(64, 'T'), 0}},
       false},
      {"empty title keeps the source name",
       Pad(Doc("::"), 120),
       {{0, Doc("::").size(), "/x/page.htm", 0}},
       false},
      {"title beyond 1024 bytes is not looked at",
       "<html>" + std::string(1100, ' ') + "<title>Late</title></html>",
       {{0, 1106 + 26, "/x/page.htm", 0}},
       true},
      {"second document carries the first one's title",
       Pad(doc + "<html><body>two</body></html>", 200),
       {{0, doc.size(), "Home", 0}, {doc.size(), 29, "Home", 1}},
       false},
      {"an unclosed document does not swallow the next one",
       Pad("<html><title>Open</title>" + std::string(40, 'x') + "\n" + doc, 200),
       {{66, doc.size(), "Home", 0}},
       false},
      {"a start tag inside a script stays part of its document",
       Pad("<html><title>S</title><script>w('<html>')</script></html>", 120),
       {{0, 57, "S", 0}},
       false},
      {"a start tag without an end ends the scan",
       Pad(doc + "<html><title>Open</title>" + std::string(50, ' ') + "</htm", 200),
       {{0, doc.size(), "Home", 0}},
       false},
  };
  for (const auto& c : cases) {
    StrellController controller;
    controller.setExtendedDetection(false);  // the classic rules' names and ends
    ItemRecorder rec(controller);
    ScanContext context(controller);
    EXPECT_EQ(strellHTML(context, Bytes(c.data), "/x/page.htm"),
              static_cast<int32_t>(c.items.size()))
        << c.name;
    ASSERT_EQ(rec.items().size(), c.items.size()) << c.name;
    for (size_t k = 0; k < c.items.size(); ++k) {
      const auto& got = rec.items()[k];
      EXPECT_EQ(got.from, c.items[k].from) << c.name;
      EXPECT_EQ(got.length, c.items[k].length) << c.name;
      EXPECT_EQ(got.original, c.items[k].original) << c.name;
      EXPECT_EQ(got.foundNo, c.items[k].foundNo) << c.name;
      EXPECT_EQ(got.type, "html") << c.name;
    }
    EXPECT_EQ(context.atomicFileFound(), c.atomic) << c.name;
  }
}

TEST(StrellHTML, ExtendedReadsTagsAsBrowsersDo) {
  struct Case {
    const char* name;
    std::string data;
    uint64_t from;       // of the one document found (npos: none)
    std::string source;  // the name it is reported under
  } cases[] = {
      {"any case, entities and references in the title",
       "<!DocType html>\n<HTML lang=en><Title>A &amp; B &#8211; &#x41;&nbsp;&bogus;</Title>"
       "</HtMl>",
       0, "A & B \u2013 A &bogus;.html"},
      {"a name that only begins like the tag", "<htmlx><title>No</title></htmlx></html>", npos, ""},
      {"an XHTML document from its prolog",
       "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE html>\n"
       "<html xmlns=\"http://www.w3.org/1999/xhtml\"><title>X</title></html>",
       0, "X.html"},
      {"a prolog with text after it is not the document's",
       "<?xml version=\"1.0\"?> text <html><title>Y</title></html>", 27, "Y.html"},
      {"a dot in the title stays", "<html><title>Release 2.0 notes</title></html>", 0,
       "Release 2.0 notes.html"},
      {"white space folded, colon and slash go", "<html><title>\n  A: b/c\n\t d </title></html>", 0,
       "A bc d.html"},
  };
  for (const auto& c : cases) {
    StrellController controller;
    controller.setExtendedDetection(true);
    ItemRecorder rec(controller);
    ScanContext context(controller);
    strellHTML(context, Bytes(Pad(c.data, 200)), "/x/page.htm");
    if (c.from == npos) {
      EXPECT_TRUE(rec.items().empty()) << c.name;
      continue;
    }
    ASSERT_EQ(rec.items().size(), 1u) << c.name;
    EXPECT_EQ(rec.items()[0].from, c.from) << c.name;
    EXPECT_EQ(rec.items()[0].original, c.source) << c.name;
  }
}

TEST(StrellHTML, EightBitTitlesBecomeUtf8) {
  EXPECT_EQ(EightBitText("caf\xC3\xA9"), "caf\xC3\xA9");                // UTF-8 stays
  EXPECT_EQ(EightBitText("caf\xE9"), "caf\xC3\xA9");                    // Latin-1 converted
  EXPECT_EQ(EightBitText("\xC3\xA9t\xC3"), "\xC3\xA9t");                // cut sequence dropped
  EXPECT_EQ(EightBitText("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");  // no surrogates
}

// --- Text ----------------------------------------------------------------------

TEST(WordMakesSense, JudgesByClassesAndTextScore) {
  struct Case {
    std::string word;
    float score;
    bool sense;
  } cases[] = {
      {"hello", 0.1f, true},
      {"ab", 0.4f, false},
      {"ab", 0.6f, true},
      {"\xE9"
       "a",
       0.6f, false},
      {"caf\xE9", 0.9f, true},
      {"\xE9t\xE9", 0.9f, false},
      {"a1B!", 0.9f, false},
      {"a1B", 0.9f, true},
      {"Ab1", 0.3f, false},
      {"Abcd", 0.3f, true},
      {"x.y", 0.3f, false},
      {"x.y", 0.6f, true},
      {"x.y.z.w.v.", 0.3f, true},
  };
  for (const auto& c : cases) {
    const auto* p = reinterpret_cast<const uint8_t*>(c.word.data());
    EXPECT_EQ(WordMakesSense({p, c.word.size()}, c.score), c.sense) << c.word << " " << c.score;
  }
}

TEST(ASCII8BitLegalize, KeepsTextAndHighBytesAndSplitsAtZeros) {
  struct Case {
    std::string in, out;
    int64_t removed;
  } cases[] = {
      {std::string("\0a\0b\0", 5), "a\nb", 3},
      {std::string("a\0\0b", 4), "ab", 2},
      {std::string("\xE9\0\x80", 3), "\xE9\n\x80", 1},
      {std::string("\0", 1), "", 1},
      {"a", "a", 0},
      {"", "", 0},
      {"x\x01y\x7F", "xy\x7F", 1},
  };
  for (const auto& c : cases) {
    int64_t removed = -1;
    EXPECT_EQ(ASCII8BitLegalize(Bytes(c.in), &removed).view(), c.out);
    EXPECT_EQ(removed, c.removed);
  }
}

TEST(ASCIILegalize2, KeepsWordsAndMarksGaps) {
  struct Case {
    const char* name;
    std::string in, out;
    int64_t removed;
  } cases[] = {
      {"UTF-16 little-endian", std::string("H\0e\0l\0l\0o\0 \0w\0o\0r\0l\0d\0", 22),
       "Hello  world ", 9},
      {"UTF-16 big-endian", std::string("\0H\0e\0l\0l\0o\0 \0w\0o\0r\0l\0d", 22), "Hello  worl d",
       9},
      {"control bytes drop a gap, marked by a line break",
       "hello " + std::string(100, '\x01') + " world ", "hello  \nworld ", 99},
      {"control byte discards the word so far", "noise\x02" + std::string(40, '\x03') + "kept ",
       "kept ", 46},
      {"nearly all text: the 8-bit filter instead",
       "caf\xE9 au lait and the quick brown fox \x01\n",
       "caf\xE9 au lait and the quick brown fox \n", 1},
      {"output longer than the input does not overflow", "abc" + std::string(100, ' ') + "def\n",
       "abc" + std::string(100, ' ') + "def\n", 0},
      {"nothing word-like", std::string(300, '\x05'), "", 300},
  };
  for (const auto& c : cases) {
    int64_t removed = -1;
    EXPECT_EQ(ASCIILegalize2(Bytes(c.in), &removed).view(), c.out) << c.name;
    EXPECT_EQ(removed, c.removed) << c.name;
  }
}

TEST(ASCIILegalize2, BinaryWithAFewWordsKeepsTheWords) {
  std::mt19937 rng(11);
  std::string data(30000, '\0');
  for (char& ch : data) ch = static_cast<char>(rng());
  const std::string sentence = "\nThe quick brown fox jumps over the lazy dog\n";
  data.replace(10000, sentence.size(), sentence);
  data.replace(20000, sentence.size(), sentence);
  int64_t removed = 0;
  const Buffer text = ASCIILegalize2(Bytes(data), &removed);
  const std::string_view out = text.view();
  const std::string words = "The quick brown fox jumps over the lazy dog\n";
  const size_t first = out.find(words);
  ASSERT_NE(first, std::string_view::npos);
  EXPECT_NE(out.find(words, first + words.size()), std::string_view::npos);
  EXPECT_EQ(out[first - 1], '\n');  // the gap before it
  EXPECT_LT(out.size(), 1000u);
  EXPECT_GT(removed, 29000);
}

TEST(ASCIILegalize2, ExtendedKeepsUrlsPathsAndOtherScripts) {
  const std::string url =
      "https://example.org/downloads/reports/2024/annual-report-final.pdf?lang=en";
  const std::string path = "/usr/share/doc/strellbox/examples/mail/forwarded-with-attachments.mbox";
  const std::string russian =
      "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 "
      "\xD0\xBC\xD0\xB8\xD1\x80";  // "Privet mir"
  std::string japanese;            // 30 characters without a space: 90 bytes
  for (int k = 0; k < 10; ++k) japanese += "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
  std::string longJapanese;  // 400 characters: longer than a word is gathered
  for (int k = 0; k < 400; ++k) longJapanese += k % 2 ? "\xE6\x97\xA5" : "\xE8\xAA\x9E";
  const std::string base64 =
      "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5ejAx";
  std::mt19937 rng(12);
  std::string data;
  for (const std::string* piece : std::initializer_list<const std::string*>{
           &url, &path, &russian, &japanese, &longJapanese, &base64}) {
    for (int k = 0; k < 3000; ++k) data.push_back(static_cast<char>(rng()));
    data += "\nSee the words here " + *piece + " and more text\n";
  }
  const std::string classic(ASCIILegalize2(Bytes(data), nullptr).view());
  const std::string extended(ASCIILegalize2(Bytes(data), nullptr, true).view());
  for (const std::string* kept :
       std::initializer_list<const std::string*>{&url, &path, &russian, &japanese, &longJapanese}) {
    EXPECT_EQ(classic.find(*kept), std::string::npos) << *kept;
    EXPECT_NE(extended.find(*kept), std::string::npos) << *kept;
  }
  EXPECT_EQ(classic.find(base64), std::string::npos);
  EXPECT_EQ(extended.find(base64), std::string::npos);
  EXPECT_EQ(EightBitText(extended).size(), extended.size());  // no character broken
}

// Pages filtered on several threads, each from a guessed state, give the
// output and count of one run over the whole buffer: whatever the page
// size (so that pages end inside words, inside two-byte text, inside long
// words cut at the cap, inside UTF-8 characters), under both rules, and
// whether the output grows in memory or in a temporary file.
TEST(ASCIILegalize2, PagesOnThreadsGiveTheOutputOfOneRun) {
  std::mt19937 rng(21);
  auto randomBytes = [&](size_t n) {
    std::string b(n, '\0');
    for (char& ch : b) ch = static_cast<char>(rng());
    return b;
  };
  const char* words[] = {"the", "Quick", "brown", "fox", "jumps", "over", "1984", "lazy", "dog,"};
  auto prose = [&](size_t n) {
    std::string t;
    while (t.size() < n) t += std::string(words[rng() % 9]) + (rng() % 7 ? " " : "\n");
    return t;
  };
  std::string utf16;
  for (const char c : prose(20000)) utf16 += {c, '\0'};
  std::string mixed;
  for (int k = 0; k < 40; ++k) {
    mixed += k % 3 ? prose(1500 + rng() % 3000) : randomBytes(2000 + rng() % 5000);
    if (k % 7 == 0) mixed += std::string(3000, 'x');  // a word longer than any cap
    if (k % 5 == 0)
      for (int c = 0; c < 700; ++c) mixed += "\xE6\x97\xA5";  // unspaced UTF-8
  }
  struct Case {
    const char* name;
    std::string in;
  };
  const Case cases[] = {
      {"random bytes", randomBytes(200000)},
      {"prose and noise", mixed},
      {"two-byte text", utf16 + randomBytes(30000) + utf16},
      {"text already (the 8-bit filter)", prose(150000)},
      // The score sinks to nothing in the zeros (taken as 0 below 2^-60).
      {"prose between long runs of zeros",
       std::string(120000, '\0') + prose(20000) + std::string(200000, '\0') + prose(3000)},
  };
  for (const Case& c : cases) {
    for (const bool extended : {false, true}) {
      int64_t removedOnce = -1;
      const Buffer once = ASCIILegalize2(Bytes(c.in), &removedOnce, extended);
      // Page 0: one run, on this thread.
      for (const uint64_t page : {uint64_t{0}, uint64_t{4096}, uint64_t{7001}, uint64_t{65536}})
        for (const bool onDisk : {false, true}) {
          if (page == 0 && !onDisk) continue;
          SCOPED_TRACE(fmt::format("{}, {}, pages of {}{}", c.name,
                                   extended ? "extended" : "classic", page,
                                   onDisk ? ", output on disk" : ""));
          std::vector<std::thread> threads;
          int64_t removed = -1;
          ScanHelpers helpers;
          if (page > 0)
            helpers = [&](size_t count, std::function<void()> task) {
              for (size_t t = 0; t < std::min<size_t>(count, 3); ++t) threads.emplace_back(task);
            };
          const Buffer paged =
              ASCIILegalize2(Bytes(c.in), &removed, extended, helpers,
                             page > 0 ? page : uint64_t{16} << 20, onDisk ? 0 : UINT64_MAX);
          for (std::thread& t : threads) t.join();
          EXPECT_TRUE(paged.view() == once.view())
              << paged.size() << " bytes against " << once.size();
          EXPECT_EQ(removed, removedOnce);
          EXPECT_EQ(paged.isMapped(), onDisk);
        }
    }
  }
}

TEST(StrellASCII, NamesTheTextAfterTheShareKept) {
  std::string letter;
  for (int k = 0; k < 4; ++k) letter += "Dear Bob,\nthe caf\xE9 opens at nine. See you there!\n";
  struct Case {
    const char* name;
    std::string in;
    std::string original;  // empty: nothing reported
  } cases[] = {
      {"clean text", letter, "letter(100% copy)"},
      {"one control byte", letter + "\x0c\n", "letter(99% copy)"},
      {"a gap", "hello " + std::string(100, '\x01') + " world ", "letter(12% copy)"},
      {"almost nothing kept", "hello " + std::string(9994, '\x01'), "letter(1% copy)"},
      {"nothing kept", std::string(200, '\x01'), ""},
  };
  for (const auto& c : cases) {
    StrellController controller;
    ItemRecorder rec(controller);
    EXPECT_EQ(RunPass(controller, strellbox::strellASCII, Bytes(c.in), "/docs/letter.txt"),
              c.original.empty() ? 0 : 1)
        << c.name;
    if (c.original.empty()) {
      EXPECT_TRUE(rec.items().empty()) << c.name;
      continue;
    }
    ASSERT_EQ(rec.items().size(), 1u) << c.name;
    EXPECT_EQ(rec.items()[0].original, c.original) << c.name;
    EXPECT_EQ(rec.items()[0].foundNo, 1) << c.name;
    EXPECT_EQ(rec.items()[0].type, "txt") << c.name;
    EXPECT_EQ(rec.items()[0].from, 0u) << c.name;
  }
}

TEST(TextJob, ExtendedTitlesAreNotCutAtADot) {
  test::ScopedHome home;
  TempDir root;
  test::WriteFile(root / "notes.htm",
                  Pad("<html><head><title>Release 2.0 notes</title></head></html>\n", 200));
  for (const bool extended : {false, true}) {
    StrellController c;
    c.setAllScans(false);
    c.setScanFor(PassId::kHTML, true);
    c.setExtendedDetection(extended);
    c.setSaveRadioChosen(2);
    c.setSaveFolder((root / (extended ? "x" : "c")).string());
    fs::create_directories(root / (extended ? "x" : "c"));
    c.threadStrell({(root / "notes.htm").string()});
    c.waitUntilIdle();
    EXPECT_EQ(test::ListFiles(root / (extended ? "x" : "c") / "notes Strell"),
              std::vector<std::string>{extended ? "Release 2.0 notes.html" : "Release 2.html"});
  }
}

TEST(TextJob, WritesDocumentsAndTextIntoTheOutputFolder) {
  TempDir root;
  // Tags on lines of their own: the text filter drops words over 60 bytes.
  const std::string page =
      "<html>\n<head>\n<title>My: Page</title>\n</head>\n<body>\n<p>one</p>\n</body>\n</html>\n"
      "<html>\n<body>\n<p>two</p>\n</body>\n</html>\n";
  test::WriteFile(root / "site.htm", Pad(page, 400));
  StrellController c;
  c.setAllScans(false);
  c.setScanFor(PassId::kHTML, true);
  c.setScanFor(PassId::kASCII, true);
  c.setSaveRadioChosen(2);
  c.setSaveFolder(root.str());
  c.threadStrell({(root / "site.htm").string()});
  c.waitUntilIdle();
  EXPECT_EQ(test::ListFiles(root / "site Strell"),
            (std::vector<std::string>{"My Page-1.html", "My Page.html", "site(100% copy)-1.txt"}));
}

}  // namespace
}  // namespace strellbox
