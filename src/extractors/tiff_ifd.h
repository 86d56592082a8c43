// Reading TIFF image file directories through Buffer's checked readers: both
// byte orders, classic TIFF and BigTIFF. Shared by the TIFF pass (which
// measures whole files) and the JPEG pass (which finds the thumbnail in an
// EXIF segment). Offsets in a TIFF count from its header; every value read
// from the data is checked against the buffer before it is used.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/buffer.h"

namespace strellbox {

// One directory entry, with where its value lies.
struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint64_t count = 0;
  uint64_t valueAt = 0;      // absolute offset of the value in the buffer
  uint64_t valueBytes = 0;   // count x the type's size (UINT64_MAX when it overflows)
  bool inlineValue = false;  // the value sits in the entry itself
};

class TiffReader {
 public:
  // Directories claiming more entries than this are not read: real ones
  // hold a few dozen (a DNG about a hundred), and the count field of a
  // crafted one can claim 2^64 - 1.
  static constexpr uint64_t kMaxEntries = 4096;

  // The header at `base`: "II*\0" or "MM\0*", or BigTIFF "II+\0" / "MM\0+"
  // with offset size 8. Nothing when none stands there.
  static std::optional<TiffReader> at(const Buffer& data, uint64_t base);

  bool little() const { return little_; }
  bool big() const { return big_; }
  uint64_t base() const { return base_; }
  // The offset of the first directory (relative to the header).
  uint64_t firstDirectory() const { return first_; }

  uint16_t u16(uint64_t at) const { return little_ ? data_->le16(at) : data_->be16(at); }
  uint32_t u32(uint64_t at) const { return little_ ? data_->le32(at) : data_->be32(at); }
  uint64_t u64(uint64_t at) const {
    const uint64_t a = u32(at), b = u32(at + 4);
    return little_ ? (b << 32 | a) : (a << 32 | b);
  }
  // The offset-sized word (4 bytes, or 8 in BigTIFF).
  uint64_t word(uint64_t at) const { return big_ ? u64(at) : u32(at); }

  // The directory at `offset` (relative to the header): its entry count and
  // where its entries start, or nothing when it does not fit in the buffer
  // or claims more than kMaxEntries entries.
  struct Directory {
    uint64_t start = 0;    // absolute offset of the directory
    uint64_t entries = 0;  // number of entries
    uint64_t end = 0;      // absolute offset just past the next-directory word
    uint64_t next = 0;     // the next directory's offset (0: none)
  };
  std::optional<Directory> directory(uint64_t offset) const;
  // Entry i of a directory.
  TiffEntry entry(const Directory& dir, uint64_t i) const;
  // Element k of an entry's array of SHORT, LONG or LONG8 values (0 for
  // other types and out of range).
  uint64_t element(const TiffEntry& e, uint64_t k) const;

 private:
  TiffReader(const Buffer& data, uint64_t base, bool little, bool big, uint64_t first)
      : data_(&data), base_(base), little_(little), big_(big), first_(first) {}

  const Buffer* data_;
  uint64_t base_;
  bool little_;
  bool big_;
  uint64_t first_;
};

// Bytes per value of a TIFF field type (0 for unknown types).
inline uint64_t TiffTypeSize(uint16_t type) {
  switch (type) {
    case 1:  // BYTE
    case 2:  // ASCII
    case 6:  // SBYTE
    case 7:  // UNDEFINED
      return 1;
    case 3:  // SHORT
    case 8:  // SSHORT
      return 2;
    case 4:   // LONG
    case 9:   // SLONG
    case 11:  // FLOAT
    case 13:  // IFD
      return 4;
    case 5:   // RATIONAL
    case 10:  // SRATIONAL
    case 12:  // DOUBLE
    case 16:  // LONG8
    case 17:  // SLONG8
    case 18:  // IFD8
      return 8;
    default:
      return 0;
  }
}

inline std::optional<TiffReader> TiffReader::at(const Buffer& data, uint64_t base) {
  if (!data.has(base, 8)) return std::nullopt;
  bool little;
  if (data.startsWith(base, "II"))
    little = true;
  else if (data.startsWith(base, "MM"))
    little = false;
  else
    return std::nullopt;
  const uint16_t magic = little ? data.le16(base + 2) : data.be16(base + 2);
  if (magic == 42)
    return TiffReader(data, base, little, false,
                      little ? data.le32(base + 4) : data.be32(base + 4));
  if (magic != 43 || !data.has(base, 16)) return std::nullopt;
  // BigTIFF: offset size 8, then 0, then the first directory's 8-byte offset.
  const TiffReader probe(data, base, little, true, 0);
  if (probe.u16(base + 4) != 8 || probe.u16(base + 6) != 0) return std::nullopt;
  return TiffReader(data, base, little, true, probe.u64(base + 8));
}

inline std::optional<TiffReader::Directory> TiffReader::directory(uint64_t offset) const {
  const uint64_t start = base_ + offset;
  if (offset == 0 || start < base_ || !data_->has(start, big_ ? 8 : 2)) return std::nullopt;
  const uint64_t entries = big_ ? u64(start) : u16(start);
  if (entries == 0 || entries > kMaxEntries) return std::nullopt;
  const uint64_t entrySize = big_ ? 20 : 12;
  const uint64_t first = start + (big_ ? 8 : 2);
  const uint64_t nextAt = first + entries * entrySize;
  const uint64_t wordSize = big_ ? 8 : 4;
  if (!data_->has(first, entries * entrySize + wordSize)) return std::nullopt;
  return Directory{start, entries, nextAt + wordSize, word(nextAt)};
}

inline TiffEntry TiffReader::entry(const Directory& dir, uint64_t i) const {
  const uint64_t at = dir.start + (big_ ? 8 : 2) + i * (big_ ? 20 : 12);
  TiffEntry e;
  e.tag = u16(at);
  e.type = u16(at + 2);
  e.count = big_ ? u64(at + 4) : u32(at + 4);
  const uint64_t field = at + (big_ ? 12 : 8);
  const uint64_t size = TiffTypeSize(e.type);
  e.valueBytes = size != 0 && e.count > UINT64_MAX / size ? UINT64_MAX : e.count * size;
  e.inlineValue = e.valueBytes <= (big_ ? 8u : 4u);
  if (e.inlineValue) {
    e.valueAt = field;
  } else {
    const uint64_t offset = word(field);
    e.valueAt = offset > UINT64_MAX - base_ ? UINT64_MAX : base_ + offset;
  }
  return e;
}

inline uint64_t TiffReader::element(const TiffEntry& e, uint64_t k) const {
  const uint64_t size = TiffTypeSize(e.type);
  if (k >= e.count || size == 0 || e.valueAt >= data_->size() ||
      k >= (data_->size() - e.valueAt) / size)
    return 0;
  switch (e.type) {
    case 3:
      return u16(e.valueAt + 2 * k);
    case 4:
    case 13:
      return u32(e.valueAt + 4 * k);
    case 16:
    case 18:
      return u64(e.valueAt + 8 * k);
    default:
      return 0;
  }
}

}  // namespace strellbox
