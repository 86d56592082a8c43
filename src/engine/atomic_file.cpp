#include "engine/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "engine/paths.h"
#include "engine/platform.h"

namespace strellbox {

bool WriteAll(int fd, const uint8_t* p, uint64_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, static_cast<size_t>(std::min<uint64_t>(n, 1 << 30)));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<uint64_t>(w);
  }
  return true;
}

std::optional<std::string> WriteFileAtomically(const std::string& folder, std::string path,
                                               const std::function<bool(int fd)>& fill) {
  std::string temp = folder + "/.strell-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return std::nullopt;
  SetPendingTemporaryFile(temp.c_str());
  struct Cleared {
    ~Cleared() { ClearPendingTemporaryFile(); }
  } cleared;
  bool ok = fill(fd);
  ok = (::fchmod(fd, FileCreationMode()) == 0) && ok;
  ok = (::close(fd) == 0) && ok;
  if (ok) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
      if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
        return path;
      if (errno == EEXIST) {
        path = UniquePathName(path);
        continue;
      }
      if (errno == EINVAL || errno == ENOSYS) {
        // The file system cannot refuse to replace; the name was free a
        // moment ago, which is the best this file system allows.
        if (::rename(temp.c_str(), path.c_str()) == 0) return path;
      }
      break;
    }
  }
  ::unlink(temp.c_str());
  return std::nullopt;
}

}  // namespace strellbox
