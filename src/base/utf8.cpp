#include "base/utf8.h"

#include <array>

namespace zefo {

namespace {

// Windows-1252 for 0x80..0x9F; 0xA0..0xFF equal their Latin-1 code points.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

char32_t NextCodePoint(std::string_view text, size_t& pos, bool& valid) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u, minimum = 0x10000;
    } else {
        valid = false;
        ++pos;
        return kReplacementCharacter;
    }
    for (size_t k = 1; k < length; ++k) {
        if (pos + k >= text.size() || (static_cast<unsigned char>(text[pos + k]) & 0xC0u) != 0x80u) {
            valid = false;
            ++pos;
            return kReplacementCharacter;
        }
        code = (code << 6) | (static_cast<unsigned char>(text[pos + k]) & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        valid = false;
        ++pos;
        return kReplacementCharacter;
    }
    pos += length;
    return code;
}

char32_t NextCodePoint(std::string_view text, size_t& pos) {
    bool valid = true;
    return NextCodePoint(text, pos, valid);
}

void AppendUtf8(std::string& text, char32_t codePoint) {
    if (codePoint < 0x80) {
        text += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        text += static_cast<char>(0xC0 | (codePoint >> 6));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        text += static_cast<char>(0xE0 | (codePoint >> 12));
        text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (codePoint >> 18));
        text += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

std::string ValidUtf8(std::string bytes) {
    size_t pos = 0;
    bool valid = true;
    while (pos < bytes.size() && valid)
        NextCodePoint(bytes, pos, valid);
    if (valid)
        return bytes;
    std::string out;
    out.reserve(bytes.size() + 16);
    for (pos = 0; pos < bytes.size();)
        AppendUtf8(out, NextCodePoint(bytes, pos));
    return out;
}

char32_t Windows1252ToCodePoint(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F)
        return kWindows1252High[byte - 0x80];
    return byte;
}

char CodePointToWindows1252(char32_t codePoint) {
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF))
        return static_cast<char>(codePoint);
    for (size_t i = 0; i < kWindows1252High.size(); ++i) {
        if (kWindows1252High[i] == codePoint)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

}  // namespace zefo
