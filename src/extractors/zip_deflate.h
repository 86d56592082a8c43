// Inflation of zlib streams found anywhere in a buffer, shared by the
// deflate and SWF passes, and the work bound that keeps a pass over hostile
// data linear.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "engine/carve.h"

namespace strellbox {

class ScanContext;

// Reports every zip archive whole (from its local header to the end of the
// first end record after it).
int32_t strellZip(ScanContext& context, const Buffer& data, const std::string& from);
// The length of the zip archive whose local header stands at p, as the
// classic rules measure it: up to the first end record after the header
// and its comment (its end marker), or to the end of the buffer when none
// fits.
CarveLength ZipLengthByEndRecord(const Buffer& data, uint64_t p);
// Inflates every zlib stream, scans the inflated bytes again and, when
// asked to, reports them too.
int32_t strellDeflate(ScanContext& context, const Buffer& data, const std::string& from,
                      bool saveInflates);

// Extended detection, in the same row: the members of gzip files, inflated,
// scanned again and, when asked to, reported named after the name they
// carry; and every member of every zip archive, stored or deflated, scanned
// again, with each archive reported whole (measured by its records) when
// asked to.
int32_t strellGzip(ScanContext& context, const Buffer& data, const std::string& from,
                   bool saveInflates);
int32_t strellZipMembers(ScanContext& context, const Buffer& data, const std::string& from,
                         bool reportArchives);

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
  uint64_t work = UINT64_MAX;   // bytes read plus bytes written over charged input
  uint64_t input = UINT64_MAX;  // bytes read
  // Bytes written, below the buffer's own cap (InflateCap): what the
  // decoded-byte budgets of the file and the job leave.
  uint64_t output = UINT64_MAX;
  // The input bytes, counted from the start, whose work is charged: the
  // work done while reading [chargedFrom, chargedTo) must stay within
  // `work`; the rest is not limited by it.
  uint64_t chargedFrom = 0;
  uint64_t chargedTo = UINT64_MAX;
};

// What an inflation expects at its start: a zlib stream (RFC 1950, with its
// header and Adler-32 check), or bare deflate data (RFC 1951), as gzip
// members and zip members hold it.
enum class InflateFormat { kZlib, kRaw };

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
    uint64_t charged = 0;       // work done over charged input
    // Stopped by the work limit over charged input while the data still
    // decoded: what the budget left was not enough to tell.
    bool starved = false;
    uint64_t work() const { return consumed + produced; }
  };

  using Limits = InflateLimits;

  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Same result as Inflate for a stream that keeps within the limits. A raw
  // stream ends with its last block; lastAttempt().consumed says where.
  std::optional<Buffer> inflate(const Buffer& data, uint64_t start, Limits limits = {},
                                InflateFormat format = InflateFormat::kZlib);
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
// makes a pass do more than linear work, while the streams of ordinary
// files are all tried.
//
// Failed attempts: a failed attempt reads on until zlib finds an error.
// On random bytes that is within a few hundred bytes of the header (7 bytes
// of work per candidate on average, 420 at most over 9000 candidates), but
// the image data of a PNG split into IDAT chunks decodes through every chunk
// boundary (Huffman codes fall back into step after the 12 foreign bytes) and
// fails only at its check value: a 420 KB PNG of a 2000x1900 picture reads
// all of it and writes 11.4 MB. Ordinary failures like that do not overlap:
// each reads bytes that no earlier attempt read. Crafted data can make every
// candidate a long, well-formed but unfinished stream (stored blocks whose
// lengths chain on to the end of the buffer), so that each of N/16
// candidates reads and writes about N bytes, all of it bytes that the
// attempts before it read already.
//
// So the input of a failed attempt is free where it lies beyond every byte
// that failed attempts before it read (the sum of such stretches is at most
// the buffer), and charged where it lies within: the charged work of all
// failures may spend what one attempt of the largest possible size needs,
// anywhere in the buffer, plus kPerByte bytes for every byte the search has
// advanced. An attempt that runs out of charged work while its data still
// decodes is starved; once the search is done, the starved candidates are
// tried again, last first, each free up to the start of the nearest one
// tried after it that failed, and charged beyond it (from what is left):
// a real stream right behind a flood of such candidates was read by all of
// them, but by none of those that come after it. Charged work thus costs at
// most about (1.5 + cap factor + kPerByte) x N; free stretches cost what the
// same bytes would as streams that inflate: each attempt at most its cap,
// and never more than deflate's 1032 bytes out for one byte in.
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
  // Starved candidates remembered for the second try: the latest this many
  // (8 bytes each, 2 MiB), every candidate of a flood 4 MiB long.
  static constexpr size_t kMaxStarved = size_t{1} << 18;

  explicit InflateBudget(uint64_t bufferLength);
  // What an attempt starting at `offset` may spend, in the forward search.
  Inflater::Limits limitsAt(uint64_t offset) const;
  // Records what the attempt at `offset` spent; a starved attempt is
  // remembered as `candidate` (the signature it was found by).
  void charge(uint64_t offset, const Inflater::Attempt& attempt, uint64_t candidate);
  void charge(uint64_t offset, const Inflater::Attempt& attempt) {
    charge(offset, attempt, offset);
  }

  // The starved candidates, last first; the second try takes them in this
  // order through retryLimitsAt and chargeRetry (with the attempt's offset).
  std::vector<uint64_t> takeStarved();
  Inflater::Limits retryLimitsAt(uint64_t offset) const;
  void chargeRetry(uint64_t offset, const Inflater::Attempt& attempt);

 private:
  uint64_t length_;
  uint64_t allowance_;
  uint64_t spent_ = 0;
  uint64_t readAllowance_;
  uint64_t read_ = 0;
  uint64_t failedReach_ = 0;          // the end of the furthest input a failed attempt read
  uint64_t nextFailed_ = UINT64_MAX;  // second try: the nearest failed start after
  std::vector<uint64_t> starved_;     // a ring of the latest kMaxStarved
  size_t starvedNext_ = 0;
};

}  // namespace strellbox
