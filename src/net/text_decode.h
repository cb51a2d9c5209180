// Turning received bytes into text and text into the 8-bit bytes of a request.
#pragma once

#include <string>

namespace zefo {

constexpr int kEncodingUtf8 = 2;
constexpr int kEncodingUtf16 = 9;
// Any other number: the platform's 8-bit code page. The list requests pass this one.
constexpr int kEncodingCodePage = 8;

// Decodes `length` bytes into UTF-8 text. kEncodingUtf8: the bytes are UTF-8
// (invalid sequences become U+FFFD); kEncodingUtf16: UTF-16LE code units and
// `length` counts units; otherwise the 8-bit code page (Windows: the ANSI code
// page; elsewhere Windows-1252). A length of -1 means up to the first zero, below
// -1 counts as 0; the text always ends at its first zero character.
std::string DecodeText(const void* bytes, int length, int encoding);

// Converts UTF-8 text to the 8-bit code page; characters it lacks become the
// converter's default character. False for text that is not valid UTF-8.
bool EncodeCodePage(const std::string& text, std::string& bytes);

}  // namespace zefo
