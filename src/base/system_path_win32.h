// UTF-8 paths to the UTF-16 names the Windows API takes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/native_file.h"

namespace zefo {

// The UTF-16 name to hand to the system for a UTF-8 path: as given when short,
// in the extended-length form ("\\?\") when it would reach the classic limits.
// Nothing when the path is not valid UTF-8 (or holds a NUL) and so names no file.
std::optional<std::wstring> SystemPath(const std::string& path);

// The existing file at `path` opened with CreateFileW's `access` and `flags`, others
// sharing only reads; nothing unless it is a disk file (device names such as "con" or
// "nul" open too, in any folder).
NativeFile OpenDiskFile(const std::string& path, uint32_t access, uint32_t flags);

}  // namespace zefo
