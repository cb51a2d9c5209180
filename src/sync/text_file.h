// Text files kept in numbered slots, read and written line by line.
// Any thread may use a slot; one slot is used by one thread at a time.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zefo {

enum class TextEncoding { Utf8, Utf16, Ansi };

// Non-zero when the existing file could be opened for reading.
int OpenTextFileForReading(int slot, const std::string& path);
// Creates or empties the file; non-zero on success.
int CreateTextFile(int slot, const std::string& path);
// The next line, UTF-8 decoded; empty at end of file.
std::string ReadTextLine(int slot);
// Writes the text and CR LF in the encoding (Ansi: the 8-bit code page).
void WriteTextLine(int slot, const std::string& text, TextEncoding encoding);
// Writes out buffered bytes, closes the file and frees the slot.
void CloseTextFile(int slot);

// The first `count` lines of the file at `path`, as ReadTextLine gives them (empty ones
// past its end), read without a slot; nothing when it cannot be opened.
std::optional<std::vector<std::string>> ReadTextLines(const std::string& path, size_t count);

}  // namespace zefo
