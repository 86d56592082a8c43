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

void TerminalDisplay::entrySkipped(const std::string& path, const std::string& reason,
                                   bool special) {
  if (options_.quiet || !(special || options_.verbose)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  clearBar();
  err_ << fmt::format("strellbox-cli: {}skipped {}: {}\n", special ? "warning: " : "", path, reason)
       << std::flush;
}

void TerminalDisplay::fileWritten(const std::string& path, const std::string& fileName,
                                  const FoundItem& item) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (path.empty()) {
    ++itemsListed_;
  } else {
    ++filesWritten_;
    bytesWritten_ += item.data.size();
  }
  if (options_.json) {
    out_ << Dump(Row(path, fileName, item)) << "\n" << std::flush;
  } else if (!options_.quiet) {
    // The list goes to stdout whatever stderr is; the bar gives way to it
    // when both share a terminal.
    if (options_.sharedTerminal) clearBar();
    out_ << (path.empty() ? fileName : path) << "\n" << std::flush;
  }
}

namespace {

bool IsUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t min;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3, min = 0x10000;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    uint32_t v = c & (0x3F >> n);
    for (size_t k = 1; k <= n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      v = (v << 6) | (d & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back(i + 2 < bytes.size() ? kAlphabet[v & 63] : '=');
  }
  return out;
}

// A text field; a name that is not UTF-8 (file names are bytes) also gets
// "<key>_base64" with its exact bytes, so that a script can find the file.
void PutText(nlohmann::json& row, const std::string& key, const std::string& text) {
  if (text.empty() && (key == "path" || key == "container")) {
    row[key] = nullptr;
    return;
  }
  row[key] = text;
  if (!IsUtf8(text)) row[key + "_base64"] = Base64(text);
}

}  // namespace

nlohmann::json TerminalDisplay::Row(const std::string& path, const std::string& fileName,
                                    const FoundItem& item) {
  nlohmann::json row = nlohmann::json::object();
  PutText(row, "path", path);
  PutText(row, "name", fileName);
  row["type"] = item.type;
  row["size"] = item.data.size();
  PutText(row, "source", item.source);
  const Origin& origin = item.data.origin();
  PutText(row, "container", origin.container);
  row["offset"] = item.offset;
  nlohmann::json chain = nlohmann::json::array();
  for (const OriginStep& step : origin.chain)
    chain.push_back({{"decoder", step.decoder}, {"offset", step.offset}});
  row["chain"] = std::move(chain);
  row["pass"] = Pass(item.pass).cliKey;
  row["end"] = ItemEndName(item.end);
  std::string hex;
  for (uint8_t b : item.digest) hex += fmt::format("{:02x}", b);
  row["sha256"] = hex;
  return row;
}

std::string TerminalDisplay::Dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace strellbox
