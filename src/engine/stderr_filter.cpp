#include "engine/stderr_filter.h"

#include <unistd.h>

#include <cstdio>

#include "engine/atomic_file.h"

namespace strellbox {

namespace {

// The file names in the decoder's lines, as its build recorded them.
constexpr std::string_view kDecoderLines = "./lib/jxl/";

ssize_t WriteFiltered(void*, const char* bytes, size_t size) {
  const std::string passed = PassedLines({bytes, size}, kDecoderLines);
  // A failed write has nowhere left to be reported: the caller goes on.
  WriteAll(STDERR_FILENO, reinterpret_cast<const uint8_t*>(passed.data()), passed.size());
  return static_cast<ssize_t>(size);
}

}  // namespace

std::string PassedLines(std::string_view written, std::string_view dropped) {
  std::string passed;
  while (!written.empty()) {
    const size_t newline = written.find('\n');
    const size_t length = newline == std::string_view::npos ? written.size() : newline + 1;
    const std::string_view line = written.substr(0, length);
    if (!line.starts_with(dropped)) passed += line;
    written.remove_prefix(length);
  }
  return passed;
}

void DropDecoderNoiseFromStderr() {
  static const cookie_io_functions_t kFunctions = {nullptr, &WriteFiltered, nullptr, nullptr};
  FILE* filtered = fopencookie(nullptr, "w", kFunctions);
  if (!filtered) return;
  // Unbuffered like the stream it replaces: each write reaches the
  // descriptor at once, in order with what is written to it directly.
  std::setvbuf(filtered, nullptr, _IONBF, 0);
  stderr = filtered;
}

}  // namespace strellbox
