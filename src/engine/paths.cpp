#include "engine/paths.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <filesystem>

namespace strellbox {

std::string LastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

namespace {
std::string_view TrimTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

// Position of the extension's dot in path, or npos.
size_t ExtensionDot(std::string_view path) {
  size_t slash = path.rfind('/');
  size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot <= start) return std::string_view::npos;
  return dot;
}
}  // namespace

std::string PathExtension(std::string_view path) {
  path = TrimTrailingSlashes(path);
  size_t dot = ExtensionDot(path);
  return dot == std::string_view::npos ? "" : std::string(path.substr(dot + 1));
}

std::string DeletingPathExtension(std::string_view path) {
  path = TrimTrailingSlashes(path);
  size_t dot = ExtensionDot(path);
  return std::string(dot == std::string_view::npos ? path : path.substr(0, dot));
}

std::string FitName(std::string name, size_t limit) {
  if (name.size() > limit) {
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return name;
}

std::string NormalizedPath(const std::string& path) {
  if (path.empty()) return path;
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return path;
  std::string normal = absolute.lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string UniquePathName(const std::string& path) {
  if (!PathExists(path)) return path;
  const std::string ext = PathExtension(path);
  const std::string base = DeletingPathExtension(path);
  for (int i = 1;; ++i) {
    std::string candidate =
        ext.empty() ? fmt::format("{}-{}", base, i) : fmt::format("{}-{}.{}", base, i, ext);
    if (!PathExists(candidate)) return candidate;
  }
}

}  // namespace strellbox
