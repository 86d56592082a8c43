// Pieces shared by the image and sound passes (JPEG, GIF, PNG, BMP, WAV):
// the budget and the record of dead ends that keep the structural walks
// linear on hostile input. Signatures are found with Buffer::find.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/buffer.h"

namespace strellbox {

// Buffers of this many bytes or fewer are not read: they hold no item worth
// reporting.
constexpr uint64_t kSmallestScannedBuffer = 100;

// Walking work (steps and scanned bytes) of the image passes on this
// thread so far; lets tests check that a pass over crafted data stays
// linear.
inline thread_local uint64_t tImageWalkWork = 0;

// The walking work one pass may spend on one buffer. Every step of a walk,
// and every byte a walk scans, is one unit. A dropped candidate resumes the
// search close behind its own start; the dead ends below keep later walks
// from going over the same path again, and once a call has spent more than
// kWalkWorkPerByte units per byte of its buffer anyway (the record of dead
// ends is full), the next dropped candidate ends the call. A legitimate
// buffer spends about one unit per byte: its items are walked once each and
// the search jumps past them.
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

// How one walk treats the record of dead ends: a first walk stops where it
// meets one; the replay after a drop marks every offset it steps on.
enum class WalkMode { kFirst, kMarking };

// Whether a walk stops at offset x: at a known dead end. A replay marks
// every offset it steps on up to there.
inline bool AtDeadEnd(DeadEnds& dead, uint64_t x, WalkMode mode) {
  if (dead.contains(x)) return true;
  if (mode == WalkMode::kMarking) dead.add(x);
  return false;
}

}  // namespace strellbox
