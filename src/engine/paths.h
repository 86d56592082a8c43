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

// True when something (anything, a dangling link included) is at the path.
bool PathExists(const std::string& path);

// The first of the path and its numbered variants "base-i.ext" (or "base-i"
// without an extension) at which nothing exists. Nothing is created.
std::string UniquePathName(const std::string& path);

}  // namespace strellbox
