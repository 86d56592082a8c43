// The CLI's display: a one-line progress bar on stderr when it is a
// terminal, a JSON line per written file with --json, failures on stderr.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "engine/strell_display.h"

namespace strellbox {

class TerminalDisplay : public StrellDisplay {
 public:
  struct Options {
    bool json = false;
    bool quiet = false;
    bool progressBar = false;  // stderr is a terminal
  };
  TerminalDisplay(Options options, std::ostream& out, std::ostream& err,
                  std::function<std::string()> label);

  void progressFromThread(double bytes, double total, int32_t foundItems) override;
  void progressFinish() override;
  void reportStrellerError(const std::string& message) override;
  void fileWritten(const std::string& path, const std::string& type, uint64_t size,
                   const std::string& source) override;

  int32_t filesWritten() const { return filesWritten_; }
  uint64_t bytesWritten() const { return bytesWritten_; }

 private:
  void clearBar();

  Options options_;
  std::ostream& out_;
  std::ostream& err_;
  std::function<std::string()> label_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point lastDraw_{};
  bool barShown_ = false;
  int32_t filesWritten_ = 0;
  uint64_t bytesWritten_ = 0;
};

}  // namespace strellbox
