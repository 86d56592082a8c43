// Pieces shared by the image and sound passes (JPEG, GIF, PNG, BMP, WAV):
// the record of dead ends that, with the walk budget of engine/carve.h,
// keeps the structural walks linear on hostile input.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "engine/carve.h"

namespace strellbox {

// Offsets from which a structural walk is known to drop its candidate.
//
// A dropped candidate resumes the search close behind its own start, and
// the walk from the next candidate often joins the path of the one before
// (a signature inside every sub-block of one long chain): without a record,
// each would walk the rest of the chain again. The walks move strictly
// forward and are fixed by the offset they stand at, so a walk that reaches
// an offset on the path of a dropped walk ends the same way and can stop
// there. After a drop the pass walks the same path once more to mark it, so
// only dropped walks longer than WalkBudget::kShortWalk (rare on ordinary
// data) take memory; walks that find an item are never marked, and the
// search resumes behind their item anyway.
//
// One bit per offset, in pages taken on first use. Past kMaxPages the record
// stops growing and the WalkBudget alone bounds the work.
class DeadEnds {
 public:
  static constexpr uint64_t kPageShift = 16;  // 65536 offsets, 8 KiB a page
  static constexpr uint64_t kMaxPages = 2048;

  explicit DeadEnds(uint64_t bufferLength) : length_(bufferLength) {}

  bool contains(uint64_t p) const {
    const uint64_t page = p >> kPageShift;
    if (page >= pages_.size() || !pages_[page]) return false;
    const uint64_t bit = p & kPageMask;
    return (pages_[page][bit >> 6] >> (bit & 63)) & 1;
  }

  void add(uint64_t p) {
    if (p >= length_) return;
    if (pages_.empty()) pages_.resize((length_ >> kPageShift) + 1);
    std::unique_ptr<uint64_t[]>& page = pages_[p >> kPageShift];
    if (!page) {
      if (pagesHeld_ == kMaxPages) return;
      page = std::make_unique<uint64_t[]>(kWordsPerPage);
      ++pagesHeld_;
    }
    const uint64_t bit = p & kPageMask;
    page[bit >> 6] |= uint64_t{1} << (bit & 63);
  }

  uint64_t pagesHeld() const { return pagesHeld_; }

 private:
  static constexpr uint64_t kPageMask = (uint64_t{1} << kPageShift) - 1;
  static constexpr uint64_t kWordsPerPage = (uint64_t{1} << kPageShift) / 64;

  uint64_t length_;
  uint64_t pagesHeld_ = 0;
  std::vector<std::unique_ptr<uint64_t[]>> pages_;
};

// Whether a walk stops at offset x: at a known dead end. A replay marks
// every offset it steps on up to there.
inline bool AtDeadEnd(DeadEnds& dead, uint64_t x, WalkMode mode) {
  if (dead.contains(x)) return true;
  if (mode == WalkMode::kMarking) dead.add(x);
  return false;
}

}  // namespace strellbox
