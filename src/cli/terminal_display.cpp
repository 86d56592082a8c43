#include "cli/terminal_display.h"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "engine/classify.h"
#include "engine/paths.h"
#include "extractors/base64.h"

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
  rate_.sample(std::chrono::duration<double>(now - started_).count(), bytes, total);
  if (barShown_ && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  // A total of 0 bytes shows an empty bar.
  const double fraction = total > 0 ? std::clamp(bytes / total, 0.0, 1.0) : 0.0;
  const int filled = static_cast<int>(fraction * kBarWidth);
  std::string name = label_ ? label_() : std::string();
  if (name.size() > 40) name = "..." + name.substr(name.size() - 37);
  // The pace and the time left once they mean something (see RateEstimator).
  std::string pace;
  if (const auto rate = rate_.bytesPerSecond()) {
    pace = "  " + FormatRate(*rate);
    if (const auto left = rate_.secondsLeft()) pace += ", " + FormatDuration(*left) + " left";
  }
  err_ << fmt::format("\r[{}{}] {:3d}%{}  found {}  {}\x1b[K", std::string(filled, '#'),
                      std::string(kBarWidth - filled, ' '), static_cast<int>(fraction * 100), pace,
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
    bytesWritten_ += item.size;
  }
  if (options_.json)
    out_ << Dump(Row(path, fileName, item)) << "\n" << std::flush;
  else
    printLine(path.empty() ? fileName : path);
}

void TerminalDisplay::itemRepeated(const FoundItem& item, const std::string& copy) {
  // Not a file of its own: a row of its own in JSON only.
  if (!options_.json) return;
  std::lock_guard<std::mutex> lock(mutex_);
  out_ << Dump(Row({}, LastPathComponent(copy), item, copy)) << "\n" << std::flush;
}

void TerminalDisplay::itemFiltered(const FoundItem& item, const std::string& fileName) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (options_.json)
    out_ << Dump(Row({}, fileName, item)) << "\n" << std::flush;
  else
    printLine(fmt::format("{} (filtered: {})", fileName,
                          item.filtered ? ItemFilterName(*item.filtered) : ""));
}

void TerminalDisplay::printLine(const std::string& line) {
  if (options_.quiet || !options_.listFiles) return;
  // The list goes to stdout whatever stderr is; the bar gives way to it
  // when both share a terminal.
  if (options_.sharedTerminal) clearBar();
  out_ << line << "\n" << std::flush;
}

namespace {

// A text field; a name that is not UTF-8 (file names are bytes) also gets
// "<key>_base64" with its exact bytes, so that a script can find the file.
void PutText(nlohmann::json& row, const std::string& key, const std::string& text) {
  if (text.empty() && (key == "path" || key == "container" || key == "duplicate_of")) {
    row[key] = nullptr;
    return;
  }
  row[key] = text;
  if (!IsUtf8(text)) row[key + "_base64"] = Base64Encode(text);
}

}  // namespace

nlohmann::json TerminalDisplay::Row(const std::string& path, const std::string& fileName,
                                    const FoundItem& item, const std::string& duplicateOf) {
  nlohmann::json row = nlohmann::json::object();
  PutText(row, "path", path);
  PutText(row, "name", fileName);
  row["type"] = item.type;
  row["size"] = item.size;
  PutText(row, "source", item.source);
  const Origin& origin = item.data.origin();
  PutText(row, "container", origin.container);
  row["offset"] = item.offset;
  nlohmann::json chain = nlohmann::json::array();
  for (const OriginStep& step : origin.chain) {
    nlohmann::json link = {{"decoder", step.decoder}, {"offset", step.offset}};
    // The member's path in its container, where the container names it.
    if (!step.member.empty()) PutText(link, "member", step.member);
    chain.push_back(std::move(link));
  }
  row["chain"] = std::move(chain);
  row["pass"] = Pass(item.pass).cliKey;
  row["end"] = ItemEndName(item.end);
  auto hex = [](const auto& digest) {
    std::string text;
    for (uint8_t b : digest) text += fmt::format("{:02x}", b);
    return text;
  };
  row["sha256"] = hex(item.digest);
  if (item.md5) row["md5"] = hex(*item.md5);
  PutText(row, "duplicate_of", duplicateOf);
  row["filtered"] = item.filtered ? nlohmann::json(ItemFilterName(*item.filtered)) : nullptr;
  return row;
}

std::string TerminalDisplay::Dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace strellbox
