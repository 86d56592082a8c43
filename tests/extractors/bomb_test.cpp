// Zlib streams that inflate far beyond their size, side by side and nested,
// scanned through every level the flate pass recurses into: no level may
// hold more than its cap allows, and the bytes alive at once stay bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "compressed_fixtures.h"
#include "extractors/zip_deflate.h"
#include "support/test_support.h"

namespace strellbox {
namespace {

using test::Zlib;

// Every buffer the job scans, by level, seen through the PNG pass (which
// runs on every buffer, nested ones included).
struct LevelProbe {
  explicit LevelProbe(StrellController& c) {
    c.setAllScans(false);
    c.setScanFor(PassId::kPNG, true);
    c.setPassForTesting("png",
                        [this, &c](ScanContext& ctx, const Buffer& data, const std::string&) {
                          const auto level = static_cast<size_t>(ctx.strellRecursionLevel());
                          chain.resize(level - 1);  // the buffers this one lies in
                          chain.push_back(data.size());
                          uint64_t alive = 0;
                          for (uint64_t s : chain) alive += s;
                          peakAlive = std::max(peakAlive, alive);
                          auto& l = levels[level];
                          l.largest = std::max(l.largest, data.size());
                          l.total += data.size();
                          ++l.buffers;
                          return 0;
                        });
  }
  struct Level {
    uint64_t largest = 0, total = 0, buffers = 0;
  };
  std::map<size_t, Level> levels;
  std::vector<uint64_t> chain;  // sizes of the buffers from level 1 down
  uint64_t peakAlive = 0;
};

std::string Zeros(size_t n) { return std::string(n, '\0'); }

// Streams of `inner` zero bytes each (about 1000 times smaller compressed),
// `count` of them in a row.
std::string SideBySide(int count, size_t inner) {
  const std::string one = Zlib(Zeros(inner), 9);
  std::string all;
  for (int i = 0; i < count; ++i) all += one;
  return all;
}

// Each level is the stream of the level below followed by zeros, as long as
// the level below's cap needs: every inflation lands exactly on its cap.
std::string NestedToTheCap(uint64_t top, int depth) {
  std::vector<uint64_t> sizes{top};
  for (int i = 0; i < depth; ++i) sizes.push_back(InflateCap(sizes.back()));
  std::string data = Zeros(sizes.back());
  for (int level = depth - 1; level >= 0; --level) {
    data = Zlib(data, 9);
    data.resize(std::max<uint64_t>(data.size(), sizes[level]), '\0');
  }
  return data;
}

TEST(DecompressionBombs, StayWithinTheCapsAtEveryLevel) {
  struct Case {
    const char* name;
    std::string input;
    size_t deepestLevel;  // the deepest level that must be reached
  };
  const std::vector<Case> cases = {
      {"one stream of 1000x", Zlib(Zeros(4 << 20), 9), 0},
      {"32 streams of 1000x side by side", SideBySide(32, 256 << 10), 1},
      // The outer stream itself inflates far beyond 40x: refused whole.
      {"a stream of 32 streams of 1000x", Zlib(SideBySide(32, 1 << 20), 9), 0},
      {"a stream of streams of 1000x, three deep",
       Zlib(std::string(4096, 'x') + Zlib(SideBySide(8, 1 << 20), 9) + std::string(4096, 'x'), 9),
       2},
      {"nested to the cap, four deep", NestedToTheCap(500, 4), 4},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    StrellController c;
    test::ItemRecorder rec(c);
    LevelProbe probe(c);
    c.strellData(Buffer(std::vector<uint8_t>(k.input.begin(), k.input.end())), "bomb.bin");

    ASSERT_EQ(probe.levels.count(1), 1u) << "level 0 is the input";
    EXPECT_EQ(probe.levels.rbegin()->first, k.deepestLevel + 1);
    uint64_t capChain = 0, parentLargest = 0;
    for (const auto& [level, l] : probe.levels) {
      if (level > 1) {
        // A stream that ends in the growth step crossing the cap is kept.
        EXPECT_LE(l.largest,
                  InflateCap(parentLargest) + std::max<uint64_t>(32768, parentLargest / 2))
            << "level " << level;
        // No stream is inflated twice: deflate cannot expand past 1032x.
        EXPECT_LE(l.total, 1032 * probe.levels[level - 1].total) << "level " << level;
      }
      parentLargest = l.largest;
      capChain += l.largest;
    }
    EXPECT_LE(probe.peakAlive, capChain);
    EXPECT_LE(probe.peakAlive, uint64_t{64} << 20);
  }
}

}  // namespace
}  // namespace strellbox
