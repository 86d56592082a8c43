#include "engine/cursor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "engine/buffer.h"

namespace strellbox {
namespace {

// What one cursor shows after the steps of a case: the last value read (or
// the last move's answer, as 1 or 0), where it stands and whether it holds.
struct Seen {
  std::optional<uint64_t> value;
  uint64_t at;
  bool ok;
};

template <typename T>
Seen Of(const Cursor& c, std::optional<T> value) {
  return {value ? std::optional<uint64_t>(*value) : std::nullopt, c.at(), c.ok()};
}
Seen Of(const Cursor& c, bool moved) { return {moved ? 1u : 0u, c.at(), c.ok()}; }
// A field's text is seen by its length.
Seen Of(const Cursor& c, std::optional<std::string_view> text) {
  return {text ? std::optional<uint64_t>(text->size()) : std::nullopt, c.at(), c.ok()};
}

TEST(Cursor, FailsVisiblyAndOnlyMovesForward) {
  const Buffer digits = Buffer::fromString("0123456789");
  struct Case {
    const char* name;
    uint64_t start;  // where the cursor is made to start
    std::function<Seen(Cursor&)> steps;
    Seen expected;
  } cases[] = {
      {"a read inside", 2, [](Cursor& c) { return Of(c, c.le32()); }, {0x35343332, 6, true}},
      {"a read at the end", 10, [](Cursor& c) { return Of(c, c.u8()); }, {std::nullopt, 10, false}},
      {"a read across the end neither yields nor moves",
       8,
       [](Cursor& c) { return Of(c, c.le32()); },
       {std::nullopt, 8, false}},
      {"a failure sticks: a read that fits yields nothing after it",
       8,
       [](Cursor& c) { return c.le32(), Of(c, c.u8()); },
       {std::nullopt, 8, false}},
      {"a start past the end",
       11,
       [](Cursor& c) { return Of(c, c.bytes(0)); },
       {std::nullopt, 11, false}},
      {"a seek backwards is refused", 5, [](Cursor& c) { return Of(c, c.seek(4)); }, {0, 5, false}},
      {"a seek past the end is refused",
       0,
       [](Cursor& c) { return Of(c, c.seek(11)); },
       {0, 0, false}},
      {"a seek to the end is allowed",
       0,
       [](Cursor& c) { return Of(c, c.seek(10)); },
       {1, 10, true}},
      {"a skip that would wrap is refused",
       3,
       [](Cursor& c) { return Of(c, c.skip(UINT64_MAX)); },
       {0, 3, false}},
      {"a walk's step that stays put is refused",
       0,
       [](Cursor& c) { return Of(c, c.step(0)); },
       {0, 0, false}},
      {"a window reads from its start",
       4,
       [](Cursor& c) {
         Cursor w = c.window(2);
         return Of(w, w.be16());
       },
       {0x3435, 6, true}},
      {"a window ends its reads at its end, not the buffer's",
       0,
       [](Cursor& c) {
         Cursor w = c.window(3);
         return w.skip(2), Of(w, w.le16());
       },
       {std::nullopt, 2, false}},
      {"the parent moves past its window",
       0,
       [](Cursor& c) { return c.window(3), Of(c, c.u8()); },
       {'3', 4, true}},
      {"a window longer than what is left fails the parent",
       4,
       [](Cursor& c) { return c.window(7), Of(c, c.u8()); },
       {std::nullopt, 4, false}},
      {"a terminated field, the cursor past its terminator",
       0,
       [](Cursor& c) { return Of(c, c.terminated('5', 16)); },
       {5, 6, true}},
      {"a terminator beyond the field's reach",
       0,
       [](Cursor& c) { return Of(c, c.terminated('5', 5)); },
       {std::nullopt, 0, false}},
  };
  for (const Case& k : cases) {
    Cursor c(digits, k.start);
    const Seen seen = k.steps(c);
    EXPECT_EQ(seen.value, k.expected.value) << k.name;
    EXPECT_EQ(seen.at, k.expected.at) << k.name;
    EXPECT_EQ(seen.ok, k.expected.ok) << k.name;
  }
}

}  // namespace
}  // namespace strellbox
