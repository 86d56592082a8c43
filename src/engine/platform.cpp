#include "engine/platform.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

namespace strellbox {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string ExpandTilde(const std::string& path) {
  if (path == "~") return HomeFolder();
  if (path.rfind("~/", 0) == 0) {
    std::string home = HomeFolder();
    if (!home.empty() && home.back() == '/') home.pop_back();
    return home + path.substr(1);
  }
  return path;
}

std::string AbbreviateTilde(const std::string& path) {
  std::string home = HomeFolder();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home.empty() || home == "/") return path;
  if (path == home) return "~";
  if (path.size() > home.size() && path.compare(0, home.size(), home) == 0 &&
      path[home.size()] == '/')
    return "~" + path.substr(home.size());
  return path;
}

std::string DesktopFolder() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  const std::string config =
      configHome && *configHome == '/' ? std::string(configHome) : ExpandTilde("~/.config");
  std::ifstream dirs(config + "/user-dirs.dirs");
  for (std::string line; std::getline(dirs, line);) {
    // XDG_DESKTOP_DIR="$HOME/Desktop" or an absolute path, in quotes.
    constexpr std::string_view kKey = "XDG_DESKTOP_DIR=";
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, kKey.size(), kKey) != 0) continue;
    std::string value = line.substr(start + kKey.size());
    while (!value.empty() && (value.back() == ' ' || value.back() == '\r')) value.pop_back();
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') continue;
    value = value.substr(1, value.size() - 2);
    std::string folder;
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
      folder = HomeFolder();
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      folder += value.substr(5);
    } else if (!value.empty() && value.front() == '/') {
      folder = value;
    } else {
      continue;  // relative paths are not allowed in the file
    }
    // "$HOME/" alone means no desktop folder of its own: the home folder.
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
  }
  return ExpandTilde("~/Desktop");
}

unsigned FileCreationMode() {
  static const unsigned mode = [] {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Umask:", 0) == 0)
        return 0666u & ~static_cast<unsigned>(std::strtoul(line.c_str() + 6, nullptr, 8));
    }
    // No /proc: read the mask by setting it, once, before files are written.
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return 0666u & ~static_cast<unsigned>(mask);
  }();
  return mode;
}

namespace {
char gPendingTemporaryFile[4096];
std::atomic<bool> gHavePendingTemporaryFile{false};
}  // namespace

void SetPendingTemporaryFile(const char* path) {
  gHavePendingTemporaryFile.store(false, std::memory_order_seq_cst);
  const size_t n = std::strlen(path);
  if (n >= sizeof gPendingTemporaryFile) return;
  std::memcpy(gPendingTemporaryFile, path, n + 1);
  gHavePendingTemporaryFile.store(true, std::memory_order_seq_cst);
}

void ClearPendingTemporaryFile() {
  gHavePendingTemporaryFile.store(false, std::memory_order_seq_cst);
}

void RemovePendingTemporaryFile() {
  if (gHavePendingTemporaryFile.load(std::memory_order_seq_cst)) ::unlink(gPendingTemporaryFile);
}

}  // namespace strellbox
