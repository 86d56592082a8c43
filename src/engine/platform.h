// Small probes of the platform that the rest of the system asks about.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace strellbox {

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
