// strellbox-cli: one scan job over the given paths with the registered
// defaults, changed only by options.
#pragma once

#include <iosfwd>

namespace strellbox {

// Exit status: 0 when the job recorded no failure, 1 when it did, 2 for a
// usage error.
int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// Ctrl-C asks the running job to stop, as the Stop button does.
void InstallInterruptHandler();

}  // namespace strellbox
