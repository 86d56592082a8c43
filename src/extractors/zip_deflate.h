// Inflation of zlib streams found anywhere in a buffer, shared by the
// deflate and SWF passes, and the work bound that keeps a pass over hostile
// data linear.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/buffer.h"

namespace strellbox {

class ScanContext;

// Reports every zip archive whole (from its local header to the end of the
// first end record after it).
int32_t strellZip(ScanContext& context, const Buffer& data, const std::string& from);
// Inflates every zlib stream, scans the inflated bytes again and, when
// asked to, reports them too.
int32_t strellDeflate(ScanContext& context, const Buffer& data, const std::string& from,
                      bool saveInflates);

// Output cap of one inflation, set by the length of the whole buffer the
// stream lies in (not by the stream's own length): 40, 10, 5 or 2 times it.
uint64_t InflateCap(uint64_t bufferLength);

// Inflates the zlib stream that starts at `start` and may run to the end of
// the buffer. Nothing when the bytes there are not one complete stream
// (corrupt, truncated, preset dictionary, bad check) or its output reaches
// the cap before it ends. Bytes after the end of the stream are ignored.
std::optional<Buffer> Inflate(const Buffer& data, uint64_t start);

// What a pass lets one inflation attempt spend; a stream that needs more
// fails (Inflater::Outcome::kOverWorkLimit).
struct InflateLimits {
  uint64_t work = UINT64_MAX;   // bytes read plus bytes written
  uint64_t input = UINT64_MAX;  // bytes read
};

// One zlib inflation state reused for every candidate of a pass, so that a
// candidate that fails costs a reset instead of a set-up and tear-down. The
// first 32768 output bytes go into a scratch area kept across candidates:
// no output storage is allocated for a candidate until it has filled that,
// and a large output grows by remapping pages instead of copying them.
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
    uint64_t outputLength = 0;  // the output buffer's length at the end
    uint64_t allocated = 0;     // storage taken beyond the scratch area
    uint64_t work() const { return consumed + produced; }
  };

  using Limits = InflateLimits;

  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Same result as Inflate for a stream that keeps within the limits.
  std::optional<Buffer> inflate(const Buffer& data, uint64_t start, Limits limits = {});
  const Attempt& lastAttempt() const { return last_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  Attempt last_;
};

// Bytes read plus bytes written by every Inflater on this thread so far;
// lets tests check that a pass over hostile data does bounded work.
uint64_t InflateWorkOnThisThread();

// What the inflation attempts of one pass may spend, so that no buffer
// makes a pass do more than linear work.
//
// Failed attempts: a failed attempt stops where zlib finds an error, which
// on ordinary data is within a few hundred bytes of the header (random bytes
// cost 7 bytes of work per candidate on average, 420 at most over 9000
// candidates). Crafted data can make every candidate a long, well-formed
// but unfinished stream (stored blocks whose lengths chain on to the end of
// the buffer), so that each of N/16 candidates reads and writes about N
// bytes. Failures may spend what two attempts of the largest possible size
// need, anywhere in the buffer, plus kPerByte bytes for every byte the
// search has advanced; an attempt is limited to what is left. kPerByte is
// above what long ordinary failures cost per buffer byte, and the
// allowance covers the rest (a PNG's image data fails at its first chunk
// boundary, after reading that chunk and writing what it holds). A hostile
// buffer thus costs at most about (2 × (1.5 + cap factor) + kPerByte) × N.
//
// Streams that inflate: ordinary streams do not overlap, so together those
// starting before offset p read little more than p bytes; a stream lying
// verbatim in the stored blocks of another is read twice. Crafted data can
// nest hundreds of stored streams, each of which inflates to nearly the
// whole buffer, and the nested scans multiply them (a 690-byte file of 60
// such layers makes 5.7 million items). The streams of a pass may read
// kOverlap times the buffer plus the bytes the search has advanced, which
// lets about three whole-buffer streams through per pass; a stream nested
// deeper is still found by the nested scan of the stream around it.
class InflateBudget {
 public:
  static constexpr uint64_t kPerByte = 4;
  static constexpr uint64_t kOverlap = 2;

  explicit InflateBudget(uint64_t bufferLength);
  // What an attempt starting at `offset` may spend.
  Inflater::Limits limitsAt(uint64_t offset) const;
  // Records what an attempt spent.
  void charge(const Inflater::Attempt& attempt);

 private:
  uint64_t allowance_;
  uint64_t spent_ = 0;
  uint64_t readAllowance_;
  uint64_t read_ = 0;
};

}  // namespace strellbox
