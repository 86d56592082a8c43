// The candidate loop that every carved format shares: search the buffer
// for the format's signatures, let the format measure the item at each
// candidate, report what it measures and resume behind it.
//
// A format knows only its own structure (the measure). The loop owns the
// rest, so that every format treats it alike: the search, where it resumes
// after an item and after a dropped candidate, the stop request, the
// numbering of the items, the work budget, and when an item is the whole
// buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/buffer.h"
#include "engine/found_item.h"

namespace strellbox {

class ScanContext;

// Buffers of this many bytes or fewer are not carved: they hold no item
// worth reporting.
constexpr uint64_t kSmallestScannedBuffer = 100;

// Walking work (steps and scanned bytes) of the carved formats on this
// thread so far; lets tests check that a pass over crafted data stays
// linear.
inline thread_local uint64_t tImageWalkWork = 0;

// The walking work one pass may spend on one buffer. Every step of a walk,
// and every byte a walk scans, is one unit. A dropped candidate resumes the
// search close behind its own start; once a call has spent its budget, the
// next dropped candidate ends the call. A legitimate buffer spends about
// one unit per byte: its items are walked once each and the search jumps
// past them.
class WalkBudget {
 public:
  static constexpr uint64_t kWalkWorkPerByte = 4;
  // A dropped walk that spent no more than this is not marked as dead ends:
  // a later walk joining it costs as little again.
  static constexpr uint64_t kShortWalk = 16;

  explicit WalkBudget(uint64_t bufferLength) : limit_(bufferLength * kWalkWorkPerByte) {}
  // A budget of `units` in all, for walks whose steps each cover many bytes.
  static WalkBudget ofUnits(uint64_t units) {
    WalkBudget budget(0);
    budget.limit_ = units;
    return budget;
  }

  void spend(uint64_t units) {
    spent_ += units;
    tImageWalkWork += units;
  }
  bool exhausted() const { return spent_ > limit_; }
  uint64_t spent() const { return spent_; }

 private:
  uint64_t limit_;
  uint64_t spent_ = 0;
};

// How one walk treats a format's record of dead ends: a first walk stops
// where it meets one; the replay after a drop marks every offset it steps on.
enum class WalkMode { kFirst, kMarking };

// An item at offset 0 that leaves fewer than 8 bytes of its buffer behind
// it is the buffer itself: no later pass need look at the buffer.
inline bool IsWholeBuffer(uint64_t at, uint64_t length, uint64_t bufferLength) {
  return at == 0 && bufferLength >= 8 && length > bufferLength - 8;
}

// A signature: the bytes searched for, and the rest of it, checked at each
// place they stand (nothing when the bytes are all of it).
struct CarveSignature {
  std::string_view bytes;
  bool (*confirm)(const Buffer& b, uint64_t p) = nullptr;
  // Searches in place of `bytes`, where one sweep serves several patterns:
  // the first p in [from, limit) where one may stand, or Buffer::npos.
  uint64_t (*find)(const Buffer& b, uint64_t from, uint64_t limit) = nullptr;
};

// What the items of a format are named after.
enum class CarveNaming {
  kSource,      // the name of the source, as the pass is given it
  kSourceStem,  // that name less its extension
};

// The budget most formats walk within: kWalkWorkPerByte units per byte.
inline WalkBudget WalkBudgetPerByte(uint64_t bufferLength) { return WalkBudget(bufferLength); }

struct CarvedFormat {
  std::string_view type;  // the items' type, which gives their extension
  // A candidate is the earliest place any of these stands.
  std::span<const CarveSignature> signatures;
  // Candidates start before N - window, N the buffer's length.
  uint64_t window = 8;
  // The item starts this many bytes before where its signature stands (a
  // box whose type is searched for, its size in front of it).
  uint64_t lead = 0;
  // The search resumes this far behind the start of a dropped candidate.
  uint64_t stepAfterDrop = 1;
  // The work one call may spend on a buffer of the given length.
  WalkBudget (*budget)(uint64_t bufferLength) = WalkBudgetPerByte;
  // The format keeps a record of dead ends: a dropped walk that took more
  // than WalkBudget::kShortWalk steps is walked again in marking mode.
  bool marksDeadEnds = false;
  // Whether an item that is the whole buffer (IsWholeBuffer) ends the
  // buffer's passes.
  bool wholeBufferItems = true;
  CarveNaming naming = CarveNaming::kSource;
  // How the measure knows where an item ends, unless it says otherwise.
  ItemEnd end = ItemEnd::kWalk;
  // The type of the item measured at p, where the format's items differ in
  // type (nullptr: `type` for all).
  std::string_view (*typeOf)(const Buffer& b, uint64_t p, uint64_t length) = nullptr;
};

// What a measure found: the item's length, and how its end was known when
// that is not the format's usual way.
struct CarveLength {
  CarveLength(uint64_t n, std::optional<ItemEnd> how = std::nullopt) : length(n), end(how) {}
  uint64_t length;
  std::optional<ItemEnd> end;
};

// The length of the item whose signature stands at p, or nothing (or 0) to
// drop the candidate. Work is charged to the budget; the mode says whether this
// is the first walk or the marking replay of a dropped one.
using CarveMeasure =
    std::function<std::optional<CarveLength>(uint64_t p, WalkBudget& budget, WalkMode mode)>;

// Reports every item of the format in `data`, numbered from 0, and returns
// how many. After an item the search resumes at its end, so that nothing
// inside it is reported again; after a dropped candidate, stepAfterDrop
// behind its start, unless the budget is spent, which ends the call.
int32_t CarveItems(ScanContext& context, const CarvedFormat& format, const Buffer& data,
                   const std::string& from, const CarveMeasure& measure);

}  // namespace strellbox
