#include "extractors/pattern_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "extractors/image_scan.h"
#include "support/test_support.h"

namespace strellbox::test {
namespace {

// The first match in [from, limit) by testing every offset.
uint64_t NaiveFind(const std::string& bytes, const std::vector<std::string>& sets, uint64_t from,
                   uint64_t limit) {
  for (uint64_t p = from; p < limit && p + sets.size() <= bytes.size(); ++p) {
    bool all = true;
    for (size_t j = 0; j < sets.size() && all; ++j)
      all = sets[j].find(bytes[p + j]) != std::string::npos;
    if (all) return p;
  }
  return Buffer::npos;
}

struct PatternCase {
  const char* name;
  std::vector<std::string> sets;
  std::string alphabet;  // the bytes the inputs are made of
};

// Every match found in order, from every start, against the naive search,
// over inputs from sparse to dense: the memchr path, the switch to the
// word-wise path and back, matches straddling eight-byte steps and the end.
TEST(BytePattern, FindsWhatTestingEveryOffsetFinds) {
  const std::vector<PatternCase> cases = {
      {"one byte", {"<"}, std::string("<a", 2)},
      {"image start", {"\xFF", "\xD8", "\xFF"}, "\xFF\xD8\x00"},
      {"tag in two spellings", {"<", "hH", "tT", "mM"}, "<hHtTmMl"},
      {"anchor in the middle", {"FC", "W", "S"}, "FCWSx"},
      {"longer than one word test", {"%", "%", "E", "O", "F"}, "%%EOF"},
      {"eight bytes", {"s", "t", "a", "r", "t", "x", "r", "e"}, "startxre"},
      {"nine second bytes",
       {"\x78", std::string("\x01\x20\x3F\x5E\x7D\x9C\xBB\xDA\xF9", 9)},
       std::string("\x78\x01\x9C\x00", 4)},
  };
  std::mt19937 rng(7);
  for (const PatternCase& c : cases) {
    std::vector<std::string_view> views(c.sets.begin(), c.sets.end());
    while (views.size() < BytePattern::kMaxLength) views.emplace_back();
    const BytePattern pattern(
        {views[0], views[1], views[2], views[3], views[4], views[5], views[6], views[7]});
    ASSERT_EQ(pattern.length(), c.sets.size()) << c.name;
    for (const int density : {0, 1, 8, 64, 100}) {  // percent of bytes from the alphabet
      for (const size_t size : {0, 1, 5, 17, 300, 9000}) {
        std::string bytes(size, '\0');
        for (char& b : bytes)
          b = static_cast<int>(rng() % 100) < density ? c.alphabet[rng() % c.alphabet.size()]
                                                      : static_cast<char>('a' + rng() % 20);
        const Buffer buffer = Bytes(bytes);
        SCOPED_TRACE(testing::Message() << c.name << ", " << density << "%, " << size << " bytes");
        for (const uint64_t limit : {uint64_t{size}, uint64_t{size / 2}, Buffer::npos}) {
          const uint64_t naiveLimit = std::min<uint64_t>(limit, size);
          std::vector<uint64_t> found, expected;
          for (uint64_t p = pattern.find(buffer, 0, limit); p != Buffer::npos;
               p = pattern.find(buffer, p + 1, limit))
            found.push_back(p);
          for (uint64_t p = NaiveFind(bytes, c.sets, 0, naiveLimit); p != Buffer::npos;
               p = NaiveFind(bytes, c.sets, p + 1, naiveLimit))
            expected.push_back(p);
          EXPECT_EQ(found, expected) << "limit " << limit;
        }
      }
    }
  }
}

TEST(SignatureSearch, WholeSignatureAndLimits) {
  const std::string_view jpeg = "\xFF\xD8\xFF";
  const std::string_view png = "\x89PNG\r\n\x1A\n";
  // A run of the first byte, then the signature, then its start cut off by
  // the end of the buffer.
  std::string bytes(5000, '\x89');
  bytes += "\x89PNG\r\n\x1A\n";
  bytes += std::string(3000, '\x89') + "\x89PNG\r\n";
  const Buffer b = Bytes(bytes);
  EXPECT_EQ(b.find(png, 0, b.size()), 5000u);
  EXPECT_EQ(b.find(png, 5001, b.size()), Buffer::npos);
  EXPECT_EQ(b.find(png, 0, 5000), Buffer::npos);  // starts at the limit
  const Buffer ff = Bytes(std::string(4000, '\xFF') + "\xD8\xFF");
  EXPECT_EQ(ff.find(jpeg, 0, ff.size()), 3999u);
  EXPECT_EQ(ff.find(jpeg, 0, 3999), Buffer::npos);
}

TEST(DeadEnds, RecordsOffsetsAcrossPagesUpToItsCap) {
  const uint64_t pages = DeadEnds::kMaxPages + 10;
  DeadEnds dead(pages << DeadEnds::kPageShift);
  EXPECT_FALSE(dead.contains(0));
  for (uint64_t page = 0; page < pages; ++page) dead.add((page << DeadEnds::kPageShift) + 63);
  dead.add(64);
  dead.add(pages << DeadEnds::kPageShift);  // past the end: ignored
  EXPECT_TRUE(dead.contains(63));
  EXPECT_TRUE(dead.contains(64));
  EXPECT_FALSE(dead.contains(62));
  EXPECT_FALSE(dead.contains(65));
  EXPECT_TRUE(dead.contains(((DeadEnds::kMaxPages - 1) << DeadEnds::kPageShift) + 63));
  // Pages past the cap are not taken: those offsets stay unknown.
  EXPECT_EQ(dead.pagesHeld(), DeadEnds::kMaxPages);
  EXPECT_FALSE(dead.contains((DeadEnds::kMaxPages << DeadEnds::kPageShift) + 63));
  EXPECT_FALSE(dead.contains(pages << DeadEnds::kPageShift));
}

}  // namespace
}  // namespace strellbox::test
