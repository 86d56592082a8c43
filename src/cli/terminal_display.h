// The CLI's display: a one-line progress bar on stderr when it is a
// terminal, the written files on stdout (a JSON row each with --json),
// failures and passed-over entries on stderr.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "engine/rate_estimator.h"
#include "engine/strell_display.h"

namespace strellbox {

class TerminalDisplay : public StrellDisplay {
 public:
  struct Options {
    bool json = false;
    bool quiet = false;
    bool progressBar = false;     // stderr is a terminal
    bool verbose = false;         // name every entry passed over
    bool sharedTerminal = false;  // stdout is the bar's terminal too
    bool listFiles = true;        // list the files on stdout (not when it carries the report)
  };
  TerminalDisplay(Options options, std::ostream& out, std::ostream& err,
                  std::function<std::string()> label);

  void progressFromThread(double bytes, double total, int32_t foundItems) override;
  void progressFinish() override;
  void reportStrellerError(const std::string& message) override;
  void fileWritten(const std::string& path, const std::string& fileName,
                   const FoundItem& item) override;
  void itemRepeated(const FoundItem& item, const std::string& copy) override;
  void itemFiltered(const FoundItem& item, const std::string& fileName) override;
  void entrySkipped(const std::string& path, const std::string& reason, bool special) override;

  int32_t filesWritten() const { return filesWritten_; }
  int32_t itemsListed() const { return itemsListed_; }
  uint64_t bytesWritten() const { return bytesWritten_; }

  // The JSON row of one item (path null when nothing was written; for a
  // repeat, `duplicateOf` names the copy written).
  static nlohmann::json Row(const std::string& path, const std::string& fileName,
                            const FoundItem& item, const std::string& duplicateOf = {});
  // One line of JSON. Text that is not UTF-8 shows with U+FFFD for the
  // bytes it cannot carry; Row adds the exact bytes beside such a field.
  static std::string Dump(const nlohmann::json& value);

 private:
  void clearBar();
  // A line of the plain listing on stdout.
  void printLine(const std::string& line);

  Options options_;
  std::ostream& out_;
  std::ostream& err_;
  std::function<std::string()> label_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point lastDraw_{};
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  RateEstimator rate_;
  bool barShown_ = false;
  int32_t filesWritten_ = 0;
  int32_t itemsListed_ = 0;
  uint64_t bytesWritten_ = 0;
};

}  // namespace strellbox
