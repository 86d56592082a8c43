// Every item says how its end was known: one item of each kind.
#include <gtest/gtest.h>

#include "extractors/compressed_fixtures.h"
#include "extractors/image_test_util.h"
#include "support/test_support.h"

namespace strellbox::test {
namespace {

TEST(ItemEnd, EachKindOfEndIsNamedByThePassThatKnewIt) {
  const std::string pad = Fill(120, 't');
  const std::string bmp = "BM" + LE32(60) + Fill(8) + "\x28" + Fill(45, 'p');
  const std::string streamedWav = "RIFF" + LE32(0) + "WAVEfmt " + LE32(16) + Fill(16) + "data" +
                                  LE32(0xFFFFFFFF) + Fill(80, 's');
  const std::string text(400, 'x');
  struct Row {
    const char* name;
    Pass pass;
    std::string bytes;
    bool extended;
    ItemEnd end;
    const char* key;
  };
  const std::vector<Row> rows = {
      {"a bitmap's size field", strellBMP, pad + bmp + pad, false, ItemEnd::kLength, "length"},
      {"a PNG walked to IEND", strellPNG, pad + MakePng(3, 2) + pad, false, ItemEnd::kWalk, "walk"},
      {"an HTML document's end tag", strellHTML, pad + "<html><p>hi</p></html>" + pad, false,
       ItemEnd::kMarker, "marker"},
      {"a streamed sound's data to the end", strellWAV, pad + streamedWav, true, ItemEnd::kBuffer,
       "buffer"},
      {"an inflated stream", strellFlate, pad + Zlib(text) + pad, false, ItemEnd::kDecoded,
       "decoded"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const PassRun run = RunOnePass(r.pass, r.bytes, "/in/src.bin", r.extended);
    ASSERT_EQ(run.items.size(), 1u);
    EXPECT_EQ(run.items[0].end, r.end);
    EXPECT_EQ(ItemEndName(r.end), r.key);
  }
}

}  // namespace
}  // namespace strellbox::test
