// A search for short patterns that allow a set of bytes at each offset
// (upper or lower case tag names): memchr for the one fixed byte while
// occurrences are sparse, eight positions at a time in a register while
// they come close together (a buffer made of that byte alone would
// otherwise cost a memchr call per byte). Fixed runs of bytes are found by
// the buffer's own search.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "engine/buffer.h"

namespace strellbox {

// A short pattern of bytes: at offset j of a match stands one of the bytes of
// set j. The first set of a single byte is the one memchr looks for.
class BytePattern {
 public:
  static constexpr size_t kMaxLength = 8;
  static constexpr size_t kMaxSet = 9;
  // The word-wise test covers this many sets; hits are checked for the rest.
  static constexpr size_t kWordSets = 4;

  constexpr BytePattern(std::initializer_list<std::string_view> sets) {
    for (const std::string_view set : sets) {
      if (length_ == kMaxLength || set.empty() || set.size() > kMaxSet) break;
      sets_[length_++] = set;
    }
    anchor_ = length_;
    for (size_t j = 0; j < length_ && anchor_ == length_; ++j)
      if (sets_[j].size() == 1) anchor_ = j;
    wordSets_ = std::min(length_, kWordSets);
    for (size_t j = 0; j < wordSets_; ++j)
      for (size_t k = 0; k < sets_[j].size(); ++k)
        broadcast_[j][k] = Broadcast(static_cast<uint8_t>(sets_[j][k]));
  }

  size_t length() const { return length_; }
  bool usable() const { return length_ > 0 && anchor_ < length_; }

  // Whether the pattern stands at p; p + length() <= data.size().
  bool matchesAt(const uint8_t* data, uint64_t p) const {
    for (size_t j = 0; j < length_; ++j)
      if (sets_[j].find(static_cast<char>(data[p + j])) == std::string_view::npos) return false;
    return true;
  }

  // Bit 7 of byte b of the result is set when the first kWordSets sets of
  // the pattern match at p + b; needs
  // p + kWordSets + 7 <= the buffer's length.
  uint64_t matchesAtEight(const uint8_t* data, uint64_t p) const {
    uint64_t all = ~uint64_t{0};
    for (size_t j = 0; j < wordSets_; ++j) {
      const uint64_t word = LoadLittleEndian(data + p + j);
      uint64_t any = 0;
      for (size_t k = 0; k < sets_[j].size(); ++k) any |= ZeroBytes(word ^ broadcast_[j][k]);
      all &= any;
      if (all == 0) break;
    }
    return all;
  }

  // First p with from <= p < limit at which the pattern stands wholly
  // inside the buffer, or Buffer::npos.
  uint64_t find(const Buffer& buffer, uint64_t from, uint64_t limit) const {
    const uint64_t n = buffer.size();
    if (!usable() || n < length_) return Buffer::npos;
    limit = std::min(limit, n - length_ + 1);
    const uint8_t* data = buffer.data();
    const auto anchorByte = static_cast<uint8_t>(sets_[anchor_][0]);
    // Dense data often has a match right at the start: the first eight
    // offsets are tested in one step before memchr is called.
    if (from < limit && from + kWordSets + 7 <= n) {
      const uint64_t end = std::min(limit, from + 8);
      if (const uint64_t q = firstInWord(data, from, end); q != Buffer::npos) return q;
      from = end;
    }
    int closeMisses = 0;
    while (from < limit) {
      if (closeMisses >= kDenseMisses) {
        const uint64_t end = std::min(limit, from + kDenseWindow);
        const uint64_t p = findDense(data, n, from, end);
        if (p != Buffer::npos) return p;
        from = end;
        closeMisses = 0;
        continue;
      }
      const void* hit = std::memchr(data + from + anchor_, anchorByte, limit - from);
      if (hit == nullptr) return Buffer::npos;
      const auto p = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - data) - anchor_;
      if (matchesAt(data, p)) return p;
      closeMisses = p - from < kCloseGap ? closeMisses + 1 : 0;
      from = p + 1;
    }
    return Buffer::npos;
  }

 private:
  // This many misses in a row, each within kCloseGap bytes of the one
  // before, switch to the dense search for kDenseWindow bytes. On random
  // bytes a run of four close misses comes once in about 65000 hits.
  static constexpr int kDenseMisses = 4;
  static constexpr uint64_t kCloseGap = 16;
  static constexpr uint64_t kDenseWindow = 4096;

  static constexpr uint64_t Broadcast(uint8_t c) { return 0x0101010101010101ull * c; }
  // Bit 7 of every byte of x that is zero, and no other bit.
  static constexpr uint64_t ZeroBytes(uint64_t x) {
    constexpr uint64_t k7F = 0x7F7F7F7F7F7F7F7Full;
    return ~(((x & k7F) + k7F) | x | k7F);
  }
  // Eight bytes with data[0] in the lowest byte, whatever the machine.
  static uint64_t LoadLittleEndian(const uint8_t* data) {
    uint64_t word;
    std::memcpy(&word, data, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
  }

  // The first match among the offsets p..p+7 below end.
  uint64_t firstInWord(const uint8_t* data, uint64_t p, uint64_t end) const {
    for (uint64_t mask = matchesAtEight(data, p); mask != 0; mask &= mask - 1) {
      const uint64_t q = p + static_cast<uint64_t>(std::countr_zero(mask)) / 8;
      if (q >= end) return Buffer::npos;
      if (length_ <= kWordSets || matchesAt(data, q)) return q;
    }
    return Buffer::npos;
  }

  uint64_t findDense(const uint8_t* data, uint64_t n, uint64_t from, uint64_t end) const {
    uint64_t p = from;
    for (; p < end && p + kWordSets + 7 <= n; p += 8)
      if (const uint64_t q = firstInWord(data, p, end); q != Buffer::npos) return q;
    for (; p < end; ++p)
      if (matchesAt(data, p)) return p;
    return Buffer::npos;
  }

  std::array<std::string_view, kMaxLength> sets_{};
  // Each byte of the first sets repeated over a word.
  std::array<std::array<uint64_t, kMaxSet>, kWordSets> broadcast_{};
  size_t length_ = 0;
  size_t wordSets_ = 0;
  size_t anchor_ = 0;
};

}  // namespace strellbox
