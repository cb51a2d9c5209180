// ASCII helpers for protocol text: hexadecimal digits and letter case.
#pragma once

#include <string_view>

namespace zefo {

// The value of a hexadecimal digit in either case, or -1.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// True when `text` is exactly `digits` hexadecimal digits.
constexpr bool IsHexText(std::string_view text, size_t digits) {
    if (text.size() != digits)
        return false;
    for (char c : text) {
        if (HexDigitValue(c) < 0)
            return false;
    }
    return true;
}

constexpr char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `text` begins with `prefix`, the letters A to Z in any case (`prefix` in lower case).
constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (LowerAscii(text[i]) != prefix[i])
            return false;
    }
    return true;
}

// True when `word` (in lower case) stands anywhere in `text`, in any case.
constexpr bool ContainsNoCase(std::string_view text, std::string_view word) {
    for (size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (StartsWithNoCase(text.substr(i), word))
            return true;
    }
    return false;
}

}  // namespace zefo
