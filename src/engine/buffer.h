// Immutable bytes with a 64-bit length: a file's contents (read whole or
// memory-mapped), or bytes an extractor decoded. Copies share the storage.
//
// Every reader is bounds-checked: a read that would leave the buffer yields 0
// (or false), so a walk over hostile data can never touch memory outside it.
// Extractors read only through these members, never through raw arithmetic.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace strellbox {

class SignatureIndex;

// One decoding between a buffer and the buffer it was decoded from: the
// decoder ("zlib", "base64", "pdf", ...), where its input starts in the
// parent buffer, and the member's name where the container names it (a zip
// path); empty otherwise.
struct OriginStep {
  std::string decoder;
  uint64_t offset = 0;
  std::string member;
  bool operator==(const OriginStep&) const = default;
};

// Where a buffer's bytes come from: the real file, and the decodings from
// that file's bytes down to this buffer (empty for the file itself).
struct Origin {
  std::string container;  // absolute path; empty for bytes not read from a file
  std::vector<OriginStep> chain;
};

// Why Buffer::readFile gave no bytes.
enum class ReadStatus {
  kRead,         // bytes (possibly none: an empty file)
  kFolder,       // a folder: nothing to read
  kSpecial,      // a FIFO, socket or device: never opened for reading
  kVanished,     // nothing at the path (any more)
  kUnreadable,   // no permission, an I/O error, or the file could not be mapped
  kNameTooLong,  // the path is longer than the system allows
};

class Buffer {
 public:
  static constexpr uint64_t npos = UINT64_MAX;
  // Files larger than this are memory-mapped instead of read.
  static constexpr uint64_t kMapThreshold = 2000000;

  Buffer() = default;
  explicit Buffer(std::vector<uint8_t> bytes);
  // Bytes that `owner` keeps alive, such as memory a decoder mapped itself.
  Buffer(std::shared_ptr<const void> owner, const uint8_t* bytes, uint64_t size)
      : owner_(std::move(owner)), bytes_(bytes), size_(size) {}
  // Bytes of a read-only file mapping that `owner` keeps: like a mapped
  // file's, an item cut from them is a slice, holding no memory of its own.
  static Buffer ofMapping(std::shared_ptr<const void> owner, const uint8_t* bytes, uint64_t size) {
    Buffer b(std::move(owner), bytes, size);
    b.mapped_ = true;
    return b;
  }
  static Buffer copyOf(const void* bytes, uint64_t length);
  static Buffer fromString(std::string_view text);

  // Reads a file whole, or maps it read-only when it is larger than
  // mapThreshold. Yields an empty buffer when the file cannot be read
  // (a folder, no permission, vanished).
  // The buffer's origin names the file by its absolute path. A FIFO,
  // socket or device is never opened, so reading one cannot block.
  static Buffer readFile(const std::filesystem::path& path, uint64_t mapThreshold = kMapThreshold,
                         ReadStatus* status = nullptr);

  const uint8_t* data() const { return bytes_; }
  uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool isMapped() const { return mapped_; }

  // True when [i, i + n) lies wholly inside the buffer (no wrap-around).
  bool has(uint64_t i, uint64_t n) const { return i <= size_ && n <= size_ - i; }

  uint8_t u8(uint64_t i) const { return i < size_ ? bytes_[i] : 0; }
  uint16_t be16(uint64_t i) const {
    return has(i, 2) ? static_cast<uint16_t>((bytes_[i] << 8) | bytes_[i + 1]) : 0;
  }
  uint16_t le16(uint64_t i) const {
    return has(i, 2) ? static_cast<uint16_t>(bytes_[i] | (bytes_[i + 1] << 8)) : 0;
  }
  uint32_t be32(uint64_t i) const {
    if (!has(i, 4)) return 0;
    return (uint32_t{bytes_[i]} << 24) | (uint32_t{bytes_[i + 1]} << 16) |
           (uint32_t{bytes_[i + 2]} << 8) | uint32_t{bytes_[i + 3]};
  }
  uint32_t le32(uint64_t i) const {
    if (!has(i, 4)) return 0;
    return uint32_t{bytes_[i]} | (uint32_t{bytes_[i + 1]} << 8) | (uint32_t{bytes_[i + 2]} << 16) |
           (uint32_t{bytes_[i + 3]} << 24);
  }

  // True when the bytes of `text` stand at offset i (and fit in the buffer).
  bool startsWith(uint64_t i, std::string_view text) const {
    return has(i, text.size()) && std::memcmp(bytes_ + i, text.data(), text.size()) == 0;
  }

  // First offset p with from <= p < limit at which `byte` stands, or npos.
  // The limit is clipped to the buffer's length.
  uint64_t find(uint8_t byte, uint64_t from, uint64_t limit = npos) const;
  // First p with from <= p < limit at which `first` stands followed by
  // `second`, or npos. Sixteen positions are tested at once, so the search
  // stops only at real pairs (random bytes hold one every 64 KiB) instead of
  // at every occurrence of the first byte.
  uint64_t findPair(uint8_t first, uint8_t second, uint64_t from, uint64_t limit = npos) const;
  // As findPair, for a second byte anywhere in `seconds`.
  uint64_t findPairIn(uint8_t first, const std::array<bool, 256>& seconds, uint64_t from,
                      uint64_t limit = npos) const;
  // A byte, and the bits under `mask` of the byte after it.
  struct MaskedPair {
    uint8_t first;
    uint8_t mask;
    uint8_t bits;
  };
  // First p with from <= p < limit at which `a` or `b` stands (and that
  // `accept` takes, when given), or npos: one sweep for two signatures whose
  // second byte varies. Candidates met often are best checked by `accept`
  // inside the sweep rather than by the caller after each return.
  uint64_t findEitherPair(MaskedPair a, MaskedPair b, uint64_t from, uint64_t limit = npos,
                          bool (*accept)(const Buffer&, uint64_t) = nullptr) const;
  // First start p with from <= p < limit at which `needle` stands wholly
  // inside the buffer, or npos.
  uint64_t find(std::string_view needle, uint64_t from, uint64_t limit = npos) const;
  // The first start p with from <= p < limit at which any of `needles`
  // (each at least two bytes) stands wholly inside the buffer, or npos;
  // `which` gets the index of the first needle standing there. One sweep
  // for them all: a dozen signatures cost about what one does alone.
  uint64_t findAny(const std::vector<std::string_view>& needles, uint64_t from, uint64_t limit,
                   size_t& which) const;

  // A view of [from, from + length), clipped to the buffer; shares storage.
  Buffer slice(uint64_t from, uint64_t length) const;
  // An independent copy of [from, from + length), clipped to the buffer.
  Buffer copy(uint64_t from, uint64_t length) const;
  std::string_view view(uint64_t from, uint64_t length) const;
  std::string_view view() const { return view(0, size_); }

  // The same bytes, whose searches for the passes' signatures answer from
  // `index`, built over exactly these bytes. Slices keep it; copies do not.
  Buffer withIndex(std::shared_ptr<const SignatureIndex> index) const {
    Buffer b = *this;
    b.index_ = std::move(index);
    b.indexShift_ = 0;
    return b;
  }
  bool indexed() const { return index_ != nullptr; }

  // Where the bytes come from; slices and copies keep their buffer's origin.
  // Never null.
  const Origin& origin() const;
  // The same bytes, marked as decoded by `decoder` from `parent`, whose
  // bytes from `offset` on were its input.
  Buffer decodedFrom(const Buffer& parent, std::string_view decoder, uint64_t offset,
                     std::string_view member = {}) const;
  // No bytes, and the same origin: what the record of an item keeps once
  // its bytes are not needed.
  Buffer withoutBytes() const {
    Buffer b;
    b.origin_ = origin_;
    return b;
  }
  // The bytes of `bytes`, with this buffer's origin: an item's bytes back
  // in its record.
  Buffer withBytesOf(const Buffer& bytes) const {
    Buffer b = bytes;
    b.origin_ = origin_;
    b.index_ = nullptr;
    b.indexShift_ = 0;
    return b;
  }

 private:
  std::shared_ptr<const Origin> origin_;
  std::shared_ptr<const void> owner_;
  const uint8_t* bytes_ = nullptr;
  uint64_t size_ = 0;
  bool mapped_ = false;
  std::shared_ptr<const SignatureIndex> index_;
  uint64_t indexShift_ = 0;  // where bytes_ starts in the indexed bytes

  // The first start in [from, limit) of the index's pattern `id`, whose
  // starts below `limit` all fit in the buffer; `sweep(from, limit)` looks
  // where the index does not reach.
  template <class Sweep>
  uint64_t findIndexed(uint32_t id, uint64_t from, uint64_t limit, Sweep sweep) const;
};

}  // namespace strellbox
