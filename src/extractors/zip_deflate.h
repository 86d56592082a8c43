// Inflation of zlib streams found anywhere in a buffer, shared by the
// deflate and SWF passes, and the work bound that keeps a pass over hostile
// data linear.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/buffer.h"

namespace strellbox {

// Output cap of one inflation, set by the length of the whole buffer the
// stream lies in (not by the stream's own length): 40, 10, 5 or 2 times it.
uint64_t InflateCap(uint64_t bufferLength);

// Inflates the zlib stream that starts at `start` and may run to the end of
// the buffer. Nothing when the bytes there are not one complete stream
// (corrupt, truncated, preset dictionary, bad check) or its output passes
// the cap. Bytes after the end of the stream are ignored.
std::optional<Buffer> Inflate(const Buffer& data, uint64_t start);

// One zlib inflation state reused for every candidate of a pass, so that a
// candidate that fails costs a reset instead of a set-up and tear-down. The
// first 32768 output bytes go into a scratch area kept across candidates:
// no output buffer is allocated for a candidate until it has filled that.
class Inflater {
 public:
  enum class Outcome {
    kInflated,       // a complete stream, check value included
    kBadStream,      // corrupt data, preset dictionary, wrong check value
    kTruncated,      // the buffer ended before the stream did
    kCapReached,     // output reached the cap before the stream ended
    kOverWorkLimit,  // the caller's work limit ran out first
    kNoMemory,       // zlib or the output buffer could not be allocated
    kNothingToRead,  // empty buffer or start at or past its end
  };
  // What the last call did; work is consumed plus produced bytes.
  struct Attempt {
    Outcome outcome = Outcome::kNothingToRead;
    uint64_t consumed = 0;
    uint64_t produced = 0;
    uint64_t allocated = 0;  // bytes of output storage allocated
    uint64_t work() const { return consumed + produced; }
  };

  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Same result as Inflate while the stream's work (bytes read plus bytes
  // written) stays within workLimit; a stream that needs more fails.
  std::optional<Buffer> inflate(const Buffer& data, uint64_t start,
                                uint64_t workLimit = UINT64_MAX);
  const Attempt& lastAttempt() const { return last_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  Attempt last_;
};

// Bytes read plus bytes written by every Inflater on this thread so far;
// lets tests check that a pass over hostile data does bounded work.
uint64_t InflateWorkOnThisThread();

// The inflation work that failed candidates of one pass may spend.
//
// A failed attempt stops where zlib finds an error, which on ordinary data
// is within a few hundred bytes of the header. Crafted data can make every
// candidate a long, well-formed but unfinished stream (stored blocks whose
// lengths chain on to the end of the buffer, or a run of long matches), so
// that each of N/16 candidates reads or writes about N bytes. The budget
// lets two attempts of the largest possible size run unhindered anywhere in
// the buffer and adds kPerByte bytes for every byte the search advances;
// an attempt is limited to what is left. Ordinary data never spends more
// than a small part of it, so nothing it holds is missed, while a hostile
// buffer costs at most about (2 × (1.5 + cap factor) + kPerByte) × N.
class InflateBudget {
 public:
  static constexpr uint64_t kPerByte = 16;

  explicit InflateBudget(uint64_t bufferLength);
  // Work an attempt starting at `offset` may spend.
  uint64_t limitAt(uint64_t offset) const;
  // Records the work of a failed attempt.
  void charge(uint64_t work);

 private:
  uint64_t allowance_;
  uint64_t spent_ = 0;
};

}  // namespace strellbox
