#include "engine/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace strellbox {

namespace {

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

LogSink& sink() {
  static LogSink s;
  return s;
}

std::atomic<bool> gMirror{false};

}  // namespace

void StrellLog(std::string_view line) {
  if (gMirror.load(std::memory_order_relaxed)) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    if (line.empty() || line.back() != '\n') std::fputc('\n', stderr);
  }
  std::lock_guard<std::mutex> lock(sinkMutex());
  if (sink()) {
    sink()(line);
    return;
  }
  std::string text(line);
  syslog(LOG_NOTICE, "%s", text.c_str());
}

LogSink SetLogSink(LogSink newSink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  LogSink old = std::move(sink());
  sink() = std::move(newSink);
  return old;
}

void SetLogMirrorToStderr(bool on) { gMirror.store(on, std::memory_order_relaxed); }

}  // namespace strellbox
