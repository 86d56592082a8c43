// Every place where the passes' signatures stand in one buffer, found in a
// single sweep over its bytes.
//
// Each pass searches its buffer for its own signatures; over a large
// buffer those searches were a dozen sweeps of the same memory. The index
// is built once per buffer by one multi-pattern sweep (Hyperscan) and
// Buffer's searches answer from it: a search becomes a lookup, and every
// pass still meets its candidates in the order its own search would have.
//
// The index is exact: for each pattern it records every start, overlapping
// ones included, up to the point it covers. Past that point (memory spent,
// a pattern met too often to be worth recording) the searches sweep as
// before, so a buffer of 0xFF bytes costs no more than it did.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/buffer.h"
#include "engine/scan_helpers.h"

namespace strellbox {

// A pattern of a fixed length: a literal, or a first byte followed by any
// byte from a set.
struct SweptPattern {
  std::string_view literal;         // empty for a pair
  uint8_t first = 0;                // a pair's first byte
  std::array<bool, 256> seconds{};  // the bytes that may follow it
  uint64_t length() const { return literal.empty() ? 2 : literal.size(); }
};

// How many starts a buffer's index may record before the recording stops
// (their memory is bounded whatever the buffer's size or content), and how
// many bytes are swept between checks: a piece small enough to stay in the
// processor's cache while every group of patterns sweeps it (over 1 GiB,
// 2.9 memchr sweeps in pieces of 256 KiB, 3.3 of 1 MiB, 5.4 of 32 MiB).
struct IndexLimits {
  uint64_t perPattern = 1u << 20;
  uint64_t total = 3u << 20;
  uint64_t chunk = 256u << 10;
  // Starts are kept as offsets within regions of 2^regionBits bytes; at
  // most 32 (they are kept in 32 bits).
  unsigned regionBits = 32;
};

class SignatureIndex {
 public:
  static constexpr uint64_t npos = UINT64_MAX;
  // Buffers shorter than this are searched directly: one sweep of them
  // costs less than building their index.
  static constexpr uint64_t kSmallestIndexed = 256 * 1024;

  using SweepHelpers = ScanHelpers;

  // The index of [bytes, bytes + size), swept a chunk at a time (chunks in
  // parallel with `helpers`, the result the same); nothing when the
  // processor cannot run the sweep or `stop` says so between chunks.
  static std::shared_ptr<const SignatureIndex> build(const uint8_t* bytes, uint64_t size,
                                                     const std::function<bool()>& stop = {},
                                                     IndexLimits limits = {},
                                                     const SweepHelpers& helpers = {});

  // The pattern id of a literal, of a pair with a set of second bytes, or
  // nothing when no pass searches for it this way.
  static std::optional<uint32_t> literalId(std::string_view needle);
  static std::optional<uint32_t> pairId(uint8_t first, const std::array<bool, 256>& seconds);
  static const std::vector<SweptPattern>& patterns();

  // All starts p < covered(id) of pattern `id` are recorded.
  uint64_t covered(uint32_t id) const { return covered_[id]; }
  // The first recorded start p of pattern `id` with from <= p < limit, or
  // npos; the caller asks only below covered(id).
  uint64_t next(uint32_t id, uint64_t from, uint64_t limit) const;
  // Starts recorded for all patterns (for the benches' figures).
  uint64_t recorded() const;

 private:
  struct Sweep;  // one build's shared state
  // Each pattern's starts, in order, by their offset in their region (half
  // the memory of whole offsets), and where the starts of each region begin
  // among them (one more entry than regions: the end).
  std::vector<std::vector<uint32_t>> starts_;
  std::vector<std::vector<uint64_t>> regions_;
  std::vector<uint64_t> covered_;
  unsigned regionBits_ = 32;
  void append(uint32_t id, uint64_t start);
};

// `data`, searched through its index when it is long enough to be worth
// one (and the index could be built before `stop` said so).
Buffer WithSignatureIndex(const Buffer& data, const std::function<bool()>& stop = {},
                          const SignatureIndex::SweepHelpers& helpers = {});

}  // namespace strellbox
