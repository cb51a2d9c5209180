// Platform file calls behind the text-file slots: text_file_win32.cpp and
// text_file_posix.cpp each define these; text_file.cpp holds the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/native_file.h"

namespace zefo::text_io {

using NativeFile = zefo::NativeFile;

// An existing file for reading; others may read it too but not write it.
NativeFile OpenForReading(const std::string& path);
// Creates the file or empties an existing one (falling back to truncating it in place).
NativeFile CreateOrTruncate(const std::string& path);
// Bytes read into `buffer` (0 at end of file), -1 on failure.
int64_t Read(const NativeFile& file, char* buffer, size_t size);
// The UTF-8 text in the 8-bit code page; characters it lacks become "?".
std::string ToCodePage(std::string_view utf8);

// Shared by both platforms (text_file.cpp): UTF-8 to UTF-16 code units, each
// invalid byte sequence giving U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

}  // namespace zefo::text_io
