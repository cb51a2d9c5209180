// Path rules shared by every module. Paths are UTF-8; "\" and "/" both separate
// folders on every platform, so names written for Windows work everywhere.
#pragma once

#include <string>
#include <string_view>

namespace zefo {

constexpr bool IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

// True when the platform can name a path this long (Windows: 32,767 UTF-16 units;
// elsewhere PATH_MAX bytes with the terminating zero).
bool WithinPathLimit(std::string_view path);

// The path with "\" as "/", for the system calls of POSIX (there "\" would be part of a name).
std::string NativePath(std::string path);

// One name inside a folder: not empty, not "." or "..", no separator and no NUL.
bool IsPlainName(std::string_view name);

}  // namespace zefo
