#include "engine/platform.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace strellbox {

namespace {
// A current system: newer than every version the checks distinguish.
constexpr uint32_t kCurrentSystem = 0x1100;
std::atomic<int64_t> gOverride{-1};
}  // namespace

uint32_t SystemVersion() {
  int64_t o = gOverride.load(std::memory_order_relaxed);
  return o >= 0 ? static_cast<uint32_t>(o) : kCurrentSystem;
}

void SetSystemVersionOverride(std::optional<uint32_t> version) {
  gOverride.store(version ? static_cast<int64_t>(*version) : -1, std::memory_order_relaxed);
}

bool IsPanther() { return SystemVersion() > 0x102F; }

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

}  // namespace strellbox
