// What each platform file (file_system_win32.cpp, file_system_posix.cpp) provides
// to the shared file-system code, besides the public operations it defines itself
// (CurrentDirectory, ChangeDirectory, MoveFileOver, RemoveFile).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/native_file.h"

namespace zefo::fs_detail {

// One file opened for sequential reading, others may read but not write it.
// Only regular files open; devices, pipes and directories do not.
NativeFile OpenReadOnly(const std::string& path);

// Size, -1 or -2 for a path that is non-empty, holds no NUL or wildcard and has
// no trailing separator (drive designations such as "C:" come in without one).
int64_t QueryPathSize(const std::string& path);
// Creates one directory; the path is non-empty with no trailing blank or separator.
bool CreateOneDirectory(const std::string& path);

}  // namespace zefo::fs_detail
