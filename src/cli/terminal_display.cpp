#include "cli/terminal_display.h"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "engine/paths.h"

namespace strellbox {

namespace {
constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
}  // namespace

TerminalDisplay::TerminalDisplay(Options options, std::ostream& out, std::ostream& err,
                                 std::function<std::string()> label)
    : options_(options), out_(out), err_(err), label_(std::move(label)) {}

void TerminalDisplay::progressFromThread(double bytes, double total, int32_t foundItems) {
  if (!options_.progressBar || options_.quiet) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (barShown_ && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  // A total of 0 bytes shows an empty bar.
  const double fraction = total > 0 ? std::clamp(bytes / total, 0.0, 1.0) : 0.0;
  const int filled = static_cast<int>(fraction * kBarWidth);
  std::string name = label_ ? label_() : std::string();
  if (name.size() > 40) name = "..." + name.substr(name.size() - 37);
  err_ << fmt::format("\r[{}{}] {:3d}%  found {}  {}\x1b[K", std::string(filled, '#'),
                      std::string(kBarWidth - filled, ' '), static_cast<int>(fraction * 100),
                      foundItems, name)
       << std::flush;
  barShown_ = true;
}

void TerminalDisplay::clearBar() {
  if (barShown_) {
    err_ << "\r\x1b[K" << std::flush;
    barShown_ = false;
  }
}

void TerminalDisplay::progressFinish() {
  std::lock_guard<std::mutex> lock(mutex_);
  clearBar();
}

void TerminalDisplay::reportStrellerError(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  clearBar();
  err_ << "strellbox-cli: " << message << "\n" << std::flush;
}

void TerminalDisplay::fileWritten(const std::string& path, const std::string& type, uint64_t size,
                                  const std::string& source) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++filesWritten_;
  bytesWritten_ += size;
  if (options_.json) {
    nlohmann::json row = {{"path", path},
                          {"name", LastPathComponent(path)},
                          {"type", type},
                          {"size", size},
                          {"source", source}};
    out_ << row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n"
         << std::flush;
  } else if (!options_.quiet && !options_.progressBar) {
    out_ << path << "\n";
  }
}

}  // namespace strellbox
