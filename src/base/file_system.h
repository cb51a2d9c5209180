// File fingerprints and file-system helpers. Stateless; safe from any thread.
// Paths may use "\" or "/" as separators on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/native_file.h"

namespace zefo {

// 32 lowercase hexadecimal digits of the file's MD5, or empty when it cannot be read.
std::string FileFingerprint(const std::string& path);
// The same for a file open for reading, read from its current position to the end.
std::string FingerprintOf(const NativeFile& file);
// Size of an existing file, -1 when nothing exists there, -2 for a directory.
int64_t QueryFileSize(const std::string& path);
// The folder part up to and including the last separator (before any "|"), or empty.
std::string PathPart(const std::string& path);
// Creates one directory after stripping trailing blanks and separators; true when created.
bool MakeDirectory(const std::string& path);
// Creates every missing level of `folder` (ending in a separator), outermost first.
void EnsureDirectory(const std::string& folder);
// The current directory, always ending in a separator.
std::string CurrentDirectory();
// Sets the process's current directory; false on failure or an empty path.
bool ChangeDirectory(const std::string& folder);

// Moves `source` over `target` in one step (the target is replaced atomically
// where the platform allows); true on success.
bool MoveFileOver(const std::string& source, const std::string& target);
// Deletes a file; true when it is gone.
bool RemoveFile(const std::string& path);
// The names of the real folders in `folder` (no links, no "." or ".."), at most
// `limit` of them, in no particular order; none when it cannot be read.
std::vector<std::string> SubfolderNames(const std::string& folder, size_t limit);
// The same for the regular files in `folder` (no links, no folders).
std::vector<std::string> FileNames(const std::string& folder, size_t limit);

}  // namespace zefo
