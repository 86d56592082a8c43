// The diagnostic log: lines for the developer, never shown to the user and
// never a reason to stop a scan. By default they go to the system log; the
// CLI mirrors them to stderr and tests capture them.
#pragma once

#include <functional>
#include <string_view>

namespace strellbox {

using LogSink = std::function<void(std::string_view line)>;

void StrellLog(std::string_view line);
// Replaces the sink; returns the previous one. An empty sink restores syslog.
LogSink SetLogSink(LogSink sink);
// Also copy every line to stderr (strellbox-cli --verbose).
void SetLogMirrorToStderr(bool on);

}  // namespace strellbox
