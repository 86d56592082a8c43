// Small probes of the platform that the rest of the system asks about.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace strellbox {

// The running system's version as a packed decimal number (0x1028 is 10.2.8).
// A Linux system counts as current. Tests may override the answer; an
// override of 0 stands for a failed query.
uint32_t SystemVersion();
void SetSystemVersionOverride(std::optional<uint32_t> version);

// True on systems of version 10.3 or later (packed version above 0x102F).
bool IsPanther();

// The user's home folder ($HOME, else the password database).
std::string HomeFolder();
// "~" or "~/..." at the start of a path becomes the home folder.
std::string ExpandTilde(const std::string& path);
// The home folder at the start of a path becomes "~".
std::string AbbreviateTilde(const std::string& path);

// The user's desktop folder: XDG_DESKTOP_DIR of the freedesktop user
// folders ($XDG_CONFIG_HOME/user-dirs.dirs, else ~/.config/user-dirs.dirs),
// else ~/Desktop. It may not exist yet.
std::string DesktopFolder();

// The permissions a new file gets when made with 0666 under the process's
// umask (read once, without changing the umask).
unsigned FileCreationMode();

// The temporary file being written, so that a signal handler that ends the
// process at once can remove it. Set and cleared by the writer; Remove is
// async-signal-safe.
void SetPendingTemporaryFile(const char* path);
void ClearPendingTemporaryFile();
void RemovePendingTemporaryFile();

}  // namespace strellbox
