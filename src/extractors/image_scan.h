// Pieces shared by the image and sound passes (JPEG, GIF, PNG, BMP, WAV):
// the signature search and the budget that keeps the structural walks
// linear on hostile input.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/buffer.h"

namespace strellbox {

// Buffers of this many bytes or fewer are not read: they hold no item worth
// reporting.
constexpr uint64_t kSmallestScannedBuffer = 100;

// First p with from <= p < limit at which `signature` stands wholly inside
// the buffer, or Buffer::npos. The search tests its first two bytes sixteen
// positions at a time, so it runs at memory speed between candidates.
inline uint64_t FindSignature(const Buffer& data, std::string_view signature, uint64_t from,
                              uint64_t limit) {
  return data.find(signature, from, limit);
}

// The walking work one pass may spend on one buffer. A dropped candidate
// resumes the search close behind its own start, so crafted data (back-to-
// back signatures whose walks each run to the end) would make a pass
// quadratic. Every step of a walk, and every byte a walk scans, is one unit;
// once a call has spent more than kWalkWorkPerByte units per byte of its
// buffer, the next dropped candidate ends the call. A legitimate buffer
// spends about one unit per byte: its items are walked once each and the
// search jumps past them.
class WalkBudget {
 public:
  static constexpr uint64_t kWalkWorkPerByte = 4;

  explicit WalkBudget(uint64_t bufferLength) : limit_(bufferLength * kWalkWorkPerByte) {}

  void spend(uint64_t units) { spent_ += units; }
  bool exhausted() const { return spent_ > limit_; }
  uint64_t spent() const { return spent_; }

 private:
  uint64_t limit_;
  uint64_t spent_ = 0;
};

}  // namespace strellbox
