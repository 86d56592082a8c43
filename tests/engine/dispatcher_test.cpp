#include <gtest/gtest.h>

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
  // All thirteen shares are still counted: the whole buffer is accounted for.
  EXPECT_NEAR(c.strelledBytes(), 1000.0, 1e-3);
  EXPECT_EQ(c.fileTypeCount(), 13);
}

TEST(Dispatcher, ExtendedDetectionReachesThePassesAndGatesItsOwnRows) {
  StrellController c;
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
  c.setPassForTesting("silentflate", [&](ScanContext& ctx, const Buffer&, const std::string& from) {
    if (nested++ == 0)
      ctx.strellData(Buffer::fromString(std::string(40, '\2')), from + "-inflated");
    return 0;
  });
  c.strellData(Buffer::fromString(std::string(777, '\1')), "x");
  EXPECT_NEAR(c.strelledBytes(), 777.0 + 40.0, 1e-2);
  EXPECT_EQ(nested, 2);
}

}  // namespace
}  // namespace strellbox
