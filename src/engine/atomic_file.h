// Files written whole or not at all: the found files and the job's report.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace strellbox {

// Writes all n bytes to the descriptor, through interruptions.
bool WriteAll(int fd, const uint8_t* p, uint64_t n);

// Writes a temporary file in `folder` through `fill` and moves it to
// `path` without replacing anything that appeared there meanwhile (then
// the next free numbered name is taken). The file gets the permissions the
// umask allows. Returns the final path, or nothing when a step failed
// (and then nothing is left behind).
std::optional<std::string> WriteFileAtomically(const std::string& folder, std::string path,
                                               const std::function<bool(int fd)>& fill);

}  // namespace strellbox
