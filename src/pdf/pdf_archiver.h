// The byte sink the PDF writer writes into: a growing buffer and its write
// position, which the document uses to build its cross-reference table.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/buffer.h"

namespace strellbox {

class PDFArchiver {
 public:
  // Room for this many bytes before the first write.
  static constexpr size_t kInitialCapacity = 1000;
  // Room left beyond the end of a write that had to enlarge the buffer, so
  // that the many short writes of the syntax do not each enlarge it.
  static constexpr size_t kGrowthSlack = 1000;

  PDFArchiver() { data_.reserve(kInitialCapacity); }
  // Writing starts at the buffer's first byte.
  explicit PDFArchiver(std::vector<uint8_t> data) : data_(std::move(data)) {}

  void encodeBytes(const void* bytes, uint64_t length);
  void encodeBytes(std::string_view text) { encodeBytes(text.data(), text.size()); }
  uint64_t writePosition() const { return writePosition_; }
  // The buffer, cut to what was written.
  const std::vector<uint8_t>& archiverData();
  // The same, handed over as a Buffer; the archiver is left empty.
  Buffer takeArchiverData();

 private:
  std::vector<uint8_t> data_;
  uint64_t writePosition_ = 0;
};

}  // namespace strellbox
