#include <array>

#include "net/code_page.h"

namespace zefo::detail {

namespace {

// Windows-1252 for 0x80..0x9F; the five bytes it leaves undefined map to the C1
// controls of the same value, as the Windows converter does. 0xA0..0xFF equal
// their Latin-1 code points.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char32_t ToCodePoint(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F)
        return kHigh[byte - 0x80];
    return byte;
}

// The byte of a code point, or '?' (the converter's default) when the code page lacks it.
char FromCodePoint(char32_t value) {
    if (value < 0x80 || (value >= 0xA0 && value <= 0xFF))
        return static_cast<char>(value);
    for (size_t i = 0; i < kHigh.size(); ++i) {
        if (kHigh[i] == value)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

}  // namespace

std::string CodePageToUtf8(const char* bytes, size_t length) {
    std::string text;
    text.reserve(length);
    size_t i = 0;
    while (i < length) {
        // Runs of ASCII, the bulk of every list reply, are copied as they are.
        size_t run = i;
        while (run < length && static_cast<unsigned char>(bytes[run]) < 0x80)
            ++run;
        text.append(bytes + i, run - i);
        if (run < length)
            AppendUtf8(text, ToCodePoint(static_cast<unsigned char>(bytes[run++])));
        i = run;
    }
    return text;
}

bool Utf8ToCodePage(const std::string& text, std::string& bytes) {
    bytes.reserve(text.size());
    size_t position = 0;
    bool valid = true;
    while (position < text.size()) {
        char32_t value = NextCodePoint(text, position, valid);
        if (!valid)
            return false;
        bytes += FromCodePoint(value);
    }
    return true;
}

}  // namespace zefo::detail
