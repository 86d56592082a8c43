#include "engine/signature_index.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace strellbox {
namespace {

// Random bytes with every indexed pattern planted many times: apart, back
// to back, overlapping themselves, across the sweep's chunk edges and at
// the very end.
Buffer PlantedBuffer(uint64_t size, bool flooded) {
  std::mt19937_64 random(7);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  auto plant = [&](uint64_t at, std::string_view s) {
    for (size_t k = 0; k < s.size() && at + k < size; ++k)
      bytes[at + k] = static_cast<uint8_t>(s[k]);
  };
  for (const SweptPattern& p : SignatureIndex::patterns()) {
    std::string text(p.literal);
    if (text.empty()) {
      for (int v = 0; v < 256 && text.empty(); ++v)
        if (p.seconds[v]) text = {static_cast<char>(p.first), static_cast<char>(v)};
    }
    for (int k = 0; k < 40; ++k) plant(random() % size, text);
    plant(4096 - 1, text);  // across a 4 KiB chunk's edge
    plant(size - text.size(), text);
    plant(1000, text + text + text);
  }
  if (flooded) plant(size / 3, std::string(size / 3, 'I'));  // "II" at every byte
  return Buffer(std::move(bytes));
}

// Every search a pass makes, answered through the index, equals the same
// search made by sweeping: on the buffer and on slices of it, from and to
// anywhere, whether the index covers everything or ran over its limits.
TEST(SignatureIndex, SearchesAnswerAsTheirSweepsDo) {
  struct Case {
    const char* name;
    bool flooded;
    IndexLimits limits;
    int threads;  // sweeping chunks at once
  };
  const Case cases[] = {
      // Starts per pattern, in all, bytes per chunk.
      {"whole", false, {1u << 20, 3u << 20, 4096}, 1},
      {"one pattern ran over", true, {5000, 3u << 20, 4096}, 1},
      {"index full", false, {1000, 900, 4096}, 1},
      {"whole, chunks on four threads", false, {1u << 20, 3u << 20, 4096}, 4},
      {"one pattern ran over, on four threads", true, {5000, 3u << 20, 4096}, 4},
      {"index full, on four threads", false, {1000, 900, 4096}, 4},
      // Starts kept by region, as over buffers past 4 GiB.
      {"4 KiB regions", false, {1u << 20, 3u << 20, 4096, 12}, 1},
      {"1 KiB regions, one pattern ran over, on four threads", true, {5000, 3u << 20, 4096, 10}, 4},
  };
  const std::vector<std::string_view> archives = {"ustar", "Rar!\x1A\x07", "LZIP\x01", "07070"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Buffer plain = PlantedBuffer(600 * 1024, c.flooded);
    // Helper threads that may start late, or after the build has ended.
    std::vector<std::thread> helpers;
    const auto index = SignatureIndex::build(
        plain.data(), plain.size(), {}, c.limits, [&](size_t count, std::function<void()> task) {
          for (size_t i = 0; i + 1 < static_cast<size_t>(c.threads) && i < count; ++i)
            helpers.emplace_back([task, i] {
              std::this_thread::sleep_for(std::chrono::microseconds(200 * i));
              task();
            });
        });
    for (std::thread& t : helpers) t.join();
    ASSERT_TRUE(index);
    EXPECT_LE(index->recorded(), c.limits.total);
    const Buffer indexed = plain.withIndex(index);
    std::mt19937_64 random(11);
    for (int round = 0; round < 60; ++round) {
      // A slice keeps the index; its offsets are its own.
      const uint64_t at = round % 3 == 0 ? 0 : random() % plain.size();
      const uint64_t length = random() % (plain.size() - at + 1);
      const Buffer a = plain.slice(at, length), b = indexed.slice(at, length);
      const uint64_t from = length ? random() % length : 0;
      const uint64_t limit = round % 2 ? Buffer::npos : from + random() % (length - from + 1);
      for (const SweptPattern& p : SignatureIndex::patterns()) {
        if (p.literal.empty()) {
          ASSERT_EQ(a.findPairIn(p.first, p.seconds, from, limit),
                    b.findPairIn(p.first, p.seconds, from, limit));
          continue;
        }
        // Repeated, as the passes' loops do, from just behind each hit.
        uint64_t x = a.find(p.literal, from, limit), y = b.find(p.literal, from, limit);
        for (int k = 0; k < 8 && x != Buffer::npos; ++k) {
          ASSERT_EQ(x, y) << "pattern of " << p.literal.size() << " bytes";
          x = a.find(p.literal, x + 1, limit);
          y = b.find(p.literal, y + 1, limit);
        }
        ASSERT_EQ(x, y);
      }
      size_t whichA = 99, whichB = 99;
      ASSERT_EQ(a.findAny(archives, from, limit, whichA), b.findAny(archives, from, limit, whichB));
      ASSERT_EQ(whichA, whichB);
      ASSERT_EQ(a.findPair('W', 'S', from, limit), b.findPair('W', 'S', from, limit));
    }
  }
}

}  // namespace
}  // namespace strellbox
