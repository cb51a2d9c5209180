// Platform file calls behind the settings files: ini_file_win32.cpp and
// ini_file_posix.cpp each define these; ini_file.cpp holds the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/native_file.h"

namespace zefo::ini_io {

using File = NativeFile;

struct Opened {
    File file;
    bool writable = false;
};

// An existing regular file: for reading and writing while others may only read it;
// failing that for reading only (others may read, then also write).
Opened OpenExisting(const std::string& path);
// The whole file from its start; false on a read error or when it is larger than `limit`.
bool ReadAll(const File& file, std::string& bytes, size_t limit);
// Writes `bytes` from the start of the file and cuts the file off after them.
bool Rewrite(const File& file, std::string_view bytes);
// Gives `to` the access rights of `from` where the platform keeps them on the file.
void CopyPermissions(const File& from, const File& to);

}  // namespace zefo::ini_io
