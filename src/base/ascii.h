// ASCII helpers for protocol text and names: hexadecimal digits and letter case. Only
// the letters A to Z fold; every other byte, UTF-8 included, must match as it is.
#pragma once

#include <string>
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

// True when `text` is exactly `digits` hexadecimal digits, none of them in upper case.
constexpr bool IsLowerHexText(std::string_view text, size_t digits) {
    if (text.size() != digits)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// True when `a` and `b` are the same text but for the letter case of hexadecimal
// digits: "3F" matches "3f", "G" does not match "g".
constexpr bool SameHexText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && (HexDigitValue(a[i]) < 0 || HexDigitValue(a[i]) != HexDigitValue(b[i])))
            return false;
    }
    return true;
}

constexpr char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// `text` with the letters A to Z in lower case.
inline std::string LowerAsciiText(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = LowerAscii(c);
    return lower;
}

// True when `a` and `b` are the same text in any letter case.
constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

// True when `text` begins with `prefix`, in any letter case.
constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// True when `text` ends with `suffix`, in any letter case.
constexpr bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// True when `word` stands anywhere in `text`, in any letter case.
constexpr bool ContainsNoCase(std::string_view text, std::string_view word) {
    for (size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (StartsWithNoCase(text.substr(i), word))
            return true;
    }
    return false;
}

// `text` without the blanks and tabs at either end.
inline std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace zefo
