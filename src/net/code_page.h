// The platform half of text_decode.h and the UTF-8 helpers both halves share.
#pragma once

#include <cstddef>
#include <string>

namespace zefo::detail {

// 8-bit code page bytes (no zero among them) to UTF-8.
std::string CodePageToUtf8(const char* bytes, size_t length);
// Valid UTF-8 to the 8-bit code page; false when the text is not valid UTF-8.
bool Utf8ToCodePage(const std::string& text, std::string& bytes);

// Reads one code point at `position` and moves past it. Invalid sequences give
// U+FFFD and move one byte on, with `valid` set to false.
char32_t NextCodePoint(const std::string& text, size_t& position, bool& valid);
void AppendUtf8(std::string& text, char32_t codePoint);

}  // namespace zefo::detail
