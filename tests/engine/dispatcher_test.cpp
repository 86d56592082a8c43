#include <gtest/gtest.h>

#include <sys/mman.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/strell_controller.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

const char* const kAllKeys[] = {"base64", "swf", "png", "gif",  "bmp",   "wav",
                                "pdf",    "jpg", "txt", "html", "flate", "silentflate"};

// Replaces every pass with a recorder of the order in which they ran.
struct PassLog {
  std::vector<std::string> order;
  std::vector<int32_t> levels;
  void install(StrellController& c, const std::string& wholeBufferKey = "") {
    for (const char* key : kAllKeys) {
      std::string k = key;
      c.setPassForTesting(
          k, [this, &c, k, wholeBufferKey](ScanContext& ctx, const Buffer&, const std::string&) {
            order.push_back(k);
            levels.push_back(ctx.strellRecursionLevel());
            if (k == wholeBufferKey) ctx.setAtomicFileFound(true);
            return 1;
          });
    }
  }
};

Buffer Png(size_t size) {
  std::string b(size, '\0');
  b.replace(0, 8, std::string("\x89PNG\r\n\x1a\n", 8));
  return Buffer::fromString(b);
}

TEST(Dispatcher, BuffersBelow32BytesRunNoPass) {
  StrellController c;
  PassLog log;
  log.install(c);
  EXPECT_EQ(c.strellData(Buffer::fromString(std::string(31, '\1')), "x"), 0);
  EXPECT_TRUE(log.order.empty());
  EXPECT_EQ(c.strelledBytes(), 0);
  EXPECT_EQ(c.strellData(Buffer::fromString(std::string(32, '\1')), "x"), 9);
  EXPECT_EQ(log.order, (std::vector<std::string>{"base64", "swf", "png", "gif", "bmp", "wav", "pdf",
                                                 "jpg", "silentflate"}));
  EXPECT_EQ(log.levels, std::vector<int32_t>(9, 1));
}

TEST(Dispatcher, GuessedTypeRunsFirstAndAWholeBufferItemEndsThePasses) {
  StrellController c;
  c.setAllScans(true);
  PassLog log;
  log.install(c, "png");
  const Buffer png = Png(1000);
  EXPECT_EQ(c.strellData(png, "a.png"), 1);
  EXPECT_EQ(log.order, std::vector<std::string>{"png"});
  // Every row's share is still counted: the whole buffer is accounted for.
  EXPECT_NEAR(c.strelledBytes(), 1000.0, 1e-3);
  EXPECT_EQ(c.fileTypeCount(), static_cast<int32_t>(kPassCount));
}

TEST(Dispatcher, ExtendedDetectionReachesThePassesAndGatesItsOwnRows) {
  StrellController c;
  EXPECT_TRUE(c.extendedDetection());  // the default
  c.setExtendedDetection(false);
  c.setAllScans(false);
  std::vector<bool> seen;
  c.setPassForTesting("txt", [&](ScanContext& ctx, const Buffer&, const std::string&) {
    seen.push_back(ctx.extended());
    return 0;
  });
  // A row that follows the switch runs only while it is on.
  c.setScanSetting(PassId::kASCII, PassDefault::kWithExtended);
  const Buffer text = Buffer::fromString(std::string(100, 'a'));
  c.strellData(text, "a.txt");
  EXPECT_TRUE(seen.empty());
  c.setExtendedDetection(true);
  EXPECT_TRUE(c.scanFor(PassId::kASCII));
  c.strellData(text, "a.txt");
  // Set by the user, it no longer follows the switch.
  c.setScanFor(PassId::kASCII, true);
  c.setExtendedDetection(false);
  c.strellData(text, "a.txt");
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

TEST(Dispatcher, OrderWhenTheGuessNamesNoPass) {
  StrellController c;
  c.setAllScans(true);
  PassLog log;
  log.install(c);
  std::string zip(100, '\1');
  zip.replace(0, 4, "PK\x03\x04");
  c.strellData(Buffer::fromString(zip), "a.zip");
  EXPECT_EQ(log.order, (std::vector<std::string>{"base64", "swf", "png", "gif", "bmp", "wav", "pdf",
                                                 "jpg", "txt", "html", "flate"}));
  log.order.clear();
  c.strellData(Buffer::fromString(std::string(100, 'a')), "a.txt");  // guessed "txt"
  EXPECT_EQ(log.order.front(), "txt");
  EXPECT_EQ(log.order.size(), 11u);
}

TEST(Dispatcher, WithEveryPreferenceOffOnlyTheSilentFlatePassRuns) {
  StrellController c;
  c.setAllScans(false);
  PassLog log;
  log.install(c);
  EXPECT_EQ(c.fileTypeCount(), 1);
  c.strellData(Png(100), "a.png");
  EXPECT_EQ(log.order, std::vector<std::string>{"silentflate"});
  EXPECT_NEAR(c.strelledBytes(), 100.0, 1e-3);
}

TEST(Dispatcher, ProgressSharesAddUpToTheBufferLengthsAcrossNesting) {
  StrellController c;
  int nested = 0;
  // The flate pass hands 40 decoded bytes back to the dispatcher once.
  c.setPassForTesting("silentflate",
                      [&](ScanContext& ctx, const Buffer& data, const std::string& from) {
                        if (nested++ == 0) {
                          DecodedChild child{Buffer::fromString(std::string(40, '\2')),
                                             DecoderId::kZlib, 3};
                          ctx.scanChild(data, child, from + "-inflated");
                        }
                        return 0;
                      });
  c.strellData(Buffer::fromString(std::string(777, '\1')), "x");
  EXPECT_NEAR(c.strelledBytes(), 777.0 + 40.0, 1e-2);
  EXPECT_EQ(nested, 2);
}

// Every decoded child goes through one gate, which says what it did: each
// row hands the children its `decode` makes from one 100-byte file to the
// gate from the first pass, and expects one outcome per child. A PNG child
// is a whole-buffer item of its own; the file's own flag must not change.
TEST(Dispatcher, TheGateSaysWhatItDidWithEachChild) {
  using S = ChildScan;
  const size_t kHuge = size_t{3} << 29;  // 1.5 GiB, above any 100-byte file's budget
  std::shared_ptr<void> huge(::mmap(nullptr, kHuge, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0),
                             [=](void* p) { ::munmap(p, kHuge); });
  ASSERT_NE(huge.get(), MAP_FAILED);
  struct Row {
    const char* name;
    std::vector<Buffer> children;
    std::vector<S> expected;
    bool keepDuplicates = false;
    bool stop = false;
  };
  const Buffer png = Png(64);
  const std::vector<Row> rows = {
      {"a child is scanned", {png}, {S::kScanned}},
      {"the same bytes again in one pass", {png, png}, {S::kScanned, S::kSeenBefore}},
      {"kept duplicates are scanned again", {png, png}, {S::kScanned, S::kScanned}, true},
      {"a stop request", {png}, {S::kStopped}, false, true},
      {"beyond the file's budget",
       {Buffer(huge, static_cast<const uint8_t*>(huge.get()), kHuge), png},
       {S::kOverBudget, S::kScanned}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    StrellController c;
    c.setAllScans(false);
    c.setScanFor(PassId::kBase64, true);
    c.setDontSaveDuplicates(!r.keepDuplicates);
    test::ItemRecorder rec(c);
    std::vector<S> outcomes;
    std::vector<int32_t> counts;
    c.setPassForTesting("png", [](ScanContext& ctx, const Buffer& data, const std::string& from) {
      if (!data.startsWith(0, "\x89PNG")) return 0;
      ctx.setAtomicFileFound(true);
      ctx.saveStrell(data, 0, data.size(), "png", from, 0, ItemEnd::kLength);
      return 1;
    });
    c.setScanFor(PassId::kPNG, true);
    c.setPassForTesting("base64", [&](ScanContext& ctx, const Buffer& data, const std::string&) {
      if (ctx.strellRecursionLevel() > 1) return 0;
      for (const Buffer& bytes : r.children) {
        if (r.stop) c.stopStrelling();
        DecodedChild child{bytes, DecoderId::kZipMember, 7, "dir/a.png"};
        const ChildOutcome outcome = ctx.scanChild(data, child, "/in/a.png");
        EXPECT_FALSE(ctx.atomicFileFound());
        outcomes.push_back(outcome.scan);
        counts.push_back(outcome.items);
      }
      return 0;
    });
    c.strellData(Buffer::fromString(std::string(100, '.')), "/in/file.bin");
    EXPECT_EQ(outcomes, r.expected);
    for (size_t i = 0; i < outcomes.size(); ++i) {
      if (outcomes[i] == S::kScanned || outcomes[i] == S::kSeenBefore) {
        EXPECT_EQ(counts[i], 1);
      }
    }
    size_t scanned = 0;
    for (S o : outcomes) scanned += o == S::kScanned;
    ASSERT_EQ(rec.items().size(), scanned);
    if (scanned > 0) {
      ASSERT_EQ(rec.items()[0].chain.size(), 1u);
      EXPECT_EQ(rec.items()[0].chain[0], (OriginStep{"zip-member", 7, "dir/a.png"}));
    }
  }
}

// Children nest five levels deep at most; the gate refuses the sixth.
TEST(Dispatcher, TheGateRefusesChildrenBelowTheDepthLimit) {
  StrellController c;
  c.setAllScans(false);
  std::vector<ChildScan> outcomes;
  c.setPassForTesting("silentflate", [&](ScanContext& ctx, const Buffer& data, const std::string&) {
    // Bytes of their own at each level, so that none is a repeat.
    DecodedChild child{
        Buffer::fromString(std::string(40, static_cast<char>('a' + ctx.strellRecursionLevel()))),
        DecoderId::kZlib, 0};
    const ChildOutcome outcome = ctx.scanChild(data, child, "x");
    outcomes.push_back(outcome.scan);
    return 0;
  });
  c.strellData(Buffer::fromString(std::string(40, '.')), "x");
  const std::vector<ChildScan> expected = {ChildScan::kTooDeep, ChildScan::kScanned,
                                           ChildScan::kScanned, ChildScan::kScanned,
                                           ChildScan::kScanned};
  EXPECT_EQ(outcomes, expected);  // innermost first
}

}  // namespace
}  // namespace strellbox
