#include "engine/carve.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/scan_context.h"
#include "engine/strell_controller.h"
#include "support/test_support.h"

namespace strellbox::test {
namespace {

// A made-up format: "<a" or "<b", a colon, then a byte that is the item's
// length (at least 4, and the item must fit); anything else drops the
// candidate. Each measure costs one unit of work.
constexpr CarveSignature kTwoSignatures[] = {{"<a"}, {"<b"}};
constexpr CarvedFormat kToy = {.type = "toy", .signatures = kTwoSignatures, .stepAfterDrop = 3};

std::optional<uint64_t> MeasureToy(const Buffer& data, uint64_t p, WalkBudget& budget) {
  budget.spend(1);
  const uint64_t length = data.u8(p + 3);
  if (data.u8(p + 2) != ':' || length < 4 || !data.has(p, length)) return std::nullopt;
  return length;
}

// `head` followed by dots up to `size` bytes.
std::string Padded(std::string head, size_t size = 120) {
  head.resize(size, '.');
  return head;
}

TEST(CarveItems, OwnsSearchResumeNamingAndWholeBuffer) {
  using Spans = std::vector<std::pair<uint64_t, uint64_t>>;
  CarvedFormat wholeBufferIsNoRule = kToy;
  wholeBufferIsNoRule.wholeBufferItems = false;
  CarvedFormat stem = kToy;
  stem.naming = CarveNaming::kSourceStem;
  CarvedFormat tight = kToy;
  tight.budget = [](uint64_t) { return WalkBudget::ofUnits(1); };
  struct Case {
    const char* name;
    CarvedFormat format;
    std::string bytes;
    Spans expected;
    bool wholeBuffer;
    const char* original;
  } cases[] = {
      {"the search resumes at an item's end",
       kToy,
       Padded("<a:\x0C<a:\x05....."),
       {{0, 12}},
       false,
       "/in/src.bin"},
      {"a dropped candidate resumes three bytes on",
       kToy,
       Padded("<a<a:\x05<a:\x06"),
       {{6, 6}},
       false,
       "/in/src.bin"},
      {"both signatures, in the order they stand",
       kToy,
       Padded("..<b:\x04<a:\x05..."),
       {{2, 4}, {6, 5}},
       false,
       "/in/src.bin"},
      {"an item at 0 with fewer than 8 bytes after it is the whole buffer",
       kToy,
       Padded("<a:\x71", 120),
       {{0, 113}},
       true,
       "/in/src.bin"},
      {"eight bytes after it leave it an item",
       kToy,
       Padded("<a:\x70", 120),
       {{0, 112}},
       false,
       "/in/src.bin"},
      {"a format may never be the whole buffer",
       wholeBufferIsNoRule,
       Padded("<a:\x78", 120),
       {{0, 120}},
       false,
       "/in/src.bin"},
      {"items named after the source less its extension",
       stem,
       Padded("<a:\x04"),
       {{0, 4}},
       false,
       "/in/src"},
      {"a drop once the budget is spent ends the call",
       tight,
       Padded("<a.<a.<a:\x04"),
       {},
       false,
       ""},
      {"a buffer of 100 bytes is not carved", kToy, Padded("<a:\x04", 100), {}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StrellController controller;
    ItemRecorder recorder(controller);
    ScanContext context(controller);
    const Buffer data = Bytes(c.bytes);
    const int32_t count = CarveItems(
        context, c.format, data, "/in/src.bin",
        [&](uint64_t p, WalkBudget& budget, WalkMode) { return MeasureToy(data, p, budget); });
    Spans spans;
    for (const Reported& item : recorder.items()) {
      spans.emplace_back(item.from, item.length);
      EXPECT_EQ(item.type, "toy");
      EXPECT_EQ(item.original, c.original);
      EXPECT_EQ(item.foundNo, static_cast<int32_t>(spans.size() - 1));
    }
    EXPECT_EQ(spans, c.expected);
    EXPECT_EQ(count, static_cast<int32_t>(c.expected.size()));
    EXPECT_EQ(context.atomicFileFound(), c.wholeBuffer);
  }
}

}  // namespace
}  // namespace strellbox::test
