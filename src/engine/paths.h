// Path helpers with the naming rules of found items and output folders.
#pragma once

#include <string>
#include <string_view>

namespace strellbox {

// The text after the last "/" (trailing slashes ignored); "/" for "/".
std::string LastPathComponent(std::string_view path);
// The extension of the last component: the text after its last dot, or "".
// A leading dot (".profile") is not an extension.
std::string PathExtension(std::string_view path);
// The path less the extension and its dot (only in the last component).
std::string DeletingPathExtension(std::string_view path);

// Cut to at most `limit` bytes at a UTF-8 character boundary, so that the
// name of a found item or output folder fits the file system's 255-byte
// limit with room for what is added to it ("-N", an extension, " Strell").
std::string FitName(std::string name, size_t limit);

// The path made absolute and lexically normal, without a trailing slash:
// "." names the folder it stands for, "dir/" the folder dir.
std::string NormalizedPath(const std::string& path);

// True when something (anything, a dangling link included) is at the path.
bool PathExists(const std::string& path);

// The first of the path and its numbered variants "base-i.ext" (or "base-i"
// without an extension) at which nothing exists. Nothing is created.
std::string UniquePathName(const std::string& path);

}  // namespace strellbox
