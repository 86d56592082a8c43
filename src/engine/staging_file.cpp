#include "engine/staging_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace strellbox {

StagingFile::~StagingFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<uint64_t> StagingFile::put(std::string_view bytes) {
  if (failed_) return std::nullopt;
  if (fd_ < 0) {
    std::error_code ec;
    std::string name =
        (std::filesystem::temp_directory_path(ec) / "strellbox-items-XXXXXX").string();
    fd_ = ec ? -1 : ::mkstemp(name.data());
    if (fd_ < 0) {
      failed_ = true;
      return std::nullopt;
    }
    // Gone from the folder at once: nothing is left behind however the job ends.
    ::unlink(name.c_str());
  }
  const uint64_t at = end_;
  for (uint64_t done = 0; done < bytes.size();) {
    const ssize_t w =
        ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(at + done));
    if (w <= 0) {
      // Disk full: nothing more goes here.
      failed_ = true;
      return std::nullopt;
    }
    done += static_cast<uint64_t>(w);
  }
  end_ += bytes.size();
  return at;
}

std::optional<Buffer> StagingFile::get(uint64_t offset, uint64_t size) const {
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  for (uint64_t done = 0; done < size;) {
    const ssize_t r =
        ::pread(fd_, bytes.data() + done, size - done, static_cast<off_t>(offset + done));
    if (r <= 0) return std::nullopt;
    done += static_cast<uint64_t>(r);
  }
  return Buffer(std::move(bytes));
}

std::optional<Buffer> StagingFile::map() const {
  if (fd_ < 0 || failed_ || end_ == 0) return std::nullopt;
  const auto length = static_cast<size_t>(end_);
  void* address = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd_, 0);
  if (address == MAP_FAILED) return std::nullopt;
  ::madvise(address, length, MADV_SEQUENTIAL);
  std::shared_ptr<const void> owner(
      address, [length](const void* a) { ::munmap(const_cast<void*>(a), length); });
  return Buffer::ofMapping(std::move(owner), static_cast<const uint8_t*>(address), end_);
}

}  // namespace strellbox
