// Bytes set aside on disk instead of in memory: an unlinked temporary file,
// appended to by one thread, read back or mapped once written.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/buffer.h"

namespace strellbox {

class StagingFile {
 public:
  StagingFile() = default;
  ~StagingFile();
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;

  // Where the bytes were put, or nothing (no temporary file, disk full).
  std::optional<uint64_t> put(std::string_view bytes);
  // The bytes put at `offset`, or nothing on a read error.
  std::optional<Buffer> get(uint64_t offset, uint64_t size) const;
  // Everything put, mapped read-only (pages the kernel may drop and read
  // again, not memory of the process's own); nothing when the mapping
  // fails or nothing was put. The mapping stays valid after this is gone.
  std::optional<Buffer> map() const;
  uint64_t size() const { return end_; }

 private:
  int fd_ = -1;
  bool failed_ = false;
  uint64_t end_ = 0;
};

}  // namespace strellbox
