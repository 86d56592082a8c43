// A forward reader over a window of a Buffer whose failures show.
//
// Buffer's own readers give 0 past the end, which lets a header walk read on
// with made-up zeros. A Cursor instead refuses: a read that does not fit in
// its window yields nothing, and the cursor stays failed from then on
// (ok() is false, every later read yields nothing), so a walker can read a
// run of fields and check once. It only moves forward: a move backwards or
// past the end of the window is refused the same way, so no walk built on
// it can loop or leave its bytes.
//
// A Cursor refers to its Buffer: the Buffer must outlive it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/buffer.h"

namespace strellbox {

class Cursor {
 public:
  // The whole buffer, from `at` on (failed when `at` lies past its end).
  explicit Cursor(const Buffer& b, uint64_t at = 0) : b_(&b), at_(at), end_(b.size()) {
    if (at > end_) ok_ = false;
  }

  bool ok() const { return ok_; }
  // The offset in the buffer the next read starts at.
  uint64_t at() const { return at_; }
  // The bytes left in the window (none once failed).
  uint64_t left() const { return ok_ ? end_ - at_ : 0; }

  // Whether `text` stands at the cursor, inside the window. Does not move.
  bool startsWith(std::string_view text) const {
    return ok_ && text.size() <= end_ - at_ && b_->startsWith(at_, text);
  }

  std::optional<uint8_t> u8() {
    return take<uint8_t>(1, [this] { return b_->u8(at_); });
  }
  std::optional<uint16_t> le16() {
    return take<uint16_t>(2, [this] { return b_->le16(at_); });
  }
  std::optional<uint16_t> be16() {
    return take<uint16_t>(2, [this] { return b_->be16(at_); });
  }
  std::optional<uint32_t> le32() {
    return take<uint32_t>(4, [this] { return b_->le32(at_); });
  }
  std::optional<uint32_t> be32() {
    return take<uint32_t>(4, [this] { return b_->be32(at_); });
  }
  std::optional<uint64_t> le64() {
    return take<uint64_t>(
        8, [this] { return uint64_t{b_->le32(at_)} | (uint64_t{b_->le32(at_ + 4)} << 32); });
  }
  // The next `n` bytes.
  std::optional<std::string_view> bytes(uint64_t n) {
    return take<std::string_view>(n, [this, n] { return b_->view(at_, n); });
  }
  // The bytes before the next `terminator` within `most` bytes; the cursor
  // moves past the terminator. Fails when none stands there.
  std::optional<std::string_view> terminated(uint8_t terminator, uint64_t most) {
    if (!ok_) return std::nullopt;
    const uint64_t limit = most < end_ - at_ ? at_ + most : end_;
    const uint64_t found = b_->find(terminator, at_, limit);
    if (found == Buffer::npos) return none<std::string_view>();
    const std::string_view text = b_->view(at_, found - at_);
    at_ = found + 1;
    return text;
  }

  // Moves to the offset `to` of the buffer. Refused (and the cursor fails)
  // when that lies before the cursor or past the end of the window; staying
  // put is allowed (an empty field).
  bool seek(uint64_t to) {
    if (!ok_ || to < at_ || to > end_) return refuse();
    at_ = to;
    return true;
  }
  // Moves over `n` bytes, as seek does.
  bool skip(uint64_t n) {
    if (!ok_ || n > end_ - at_) return refuse();
    at_ += n;
    return true;
  }
  // The step of a walk from one record to the next, `n` bytes on: refused
  // also when it does not move, since a walk that stays put never ends.
  bool step(uint64_t n) { return n > 0 ? skip(n) : refuse(); }

  // The next `n` bytes as a window of their own; this cursor moves past
  // them. When they do not fit, both cursors fail.
  Cursor window(uint64_t n) {
    Cursor inner = *this;
    if (!skip(n)) {
      inner.ok_ = false;
      return inner;
    }
    inner.end_ = at_;
    return inner;
  }

 private:
  bool refuse() {
    ok_ = false;
    return false;
  }
  template <typename T>
  std::optional<T> none() {
    ok_ = false;
    return std::nullopt;
  }

  template <typename T, typename Read>
  std::optional<T> take(uint64_t n, Read read) {
    if (!ok_ || n > end_ - at_) return none<T>();
    const T value = read();
    at_ += n;
    return value;
  }

  const Buffer* b_;
  uint64_t at_;
  uint64_t end_;
  bool ok_ = true;
};

}  // namespace strellbox
