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

}  // namespace strellbox
