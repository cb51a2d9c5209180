// The platform half of text_decode.h.
#pragma once

#include <cstddef>
#include <string>

namespace zefo::detail {

// 8-bit code page bytes (no zero among them) to UTF-8.
std::string CodePageToUtf8(const char* bytes, size_t length);
// Valid UTF-8 to the 8-bit code page; false when the text is not valid UTF-8.
bool Utf8ToCodePage(const std::string& text, std::string& bytes);

}  // namespace zefo::detail
