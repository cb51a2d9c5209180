// UTF-8 paths to the UTF-16 names the Windows API takes.
#pragma once

#include <optional>
#include <string>

namespace zefo {

// The UTF-16 name to hand to the system for a UTF-8 path: as given when short,
// in the extended-length form ("\\?\") when it would reach the classic limits.
// Nothing when the path is not valid UTF-8 (or holds a NUL) and so names no file.
std::optional<std::wstring> SystemPath(const std::string& path);

}  // namespace zefo
