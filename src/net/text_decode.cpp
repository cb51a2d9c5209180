#include "net/text_decode.h"

#include <cstdint>
#include <cstring>

#include "net/code_page.h"

namespace zefo {

namespace detail {

char32_t NextCodePoint(const std::string& text, size_t& position, bool& valid) {
    auto byte = [&text](size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(position);
    if (lead < 0x80) {
        ++position;
        return lead;
    }
    size_t extra;
    char32_t value;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, value = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, value = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, value = lead & 0x07u, minimum = 0x10000;
    } else {
        valid = false;
        ++position;
        return 0xFFFD;
    }
    if (position + extra >= text.size()) {
        valid = false;
        ++position;
        return 0xFFFD;
    }
    for (size_t i = 1; i <= extra; ++i) {
        unsigned char next = byte(position + i);
        if ((next & 0xC0u) != 0x80u) {
            valid = false;
            ++position;
            return 0xFFFD;
        }
        value = (value << 6) | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        valid = false;
        ++position;
        return 0xFFFD;
    }
    position += extra + 1;
    return value;
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

}  // namespace detail

namespace {

// The number of 8-bit units to convert: up to the first zero within the length.
size_t ByteCount(const unsigned char* bytes, int length) {
    if (length < -1)
        return 0;
    if (length == -1)
        return strlen(reinterpret_cast<const char*>(bytes));
    const void* zero = memchr(bytes, 0, static_cast<size_t>(length));
    return zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - bytes) : static_cast<size_t>(length);
}

std::string DecodeUtf16(const unsigned char* bytes, int length) {
    auto unit = [bytes](size_t index) { return static_cast<char16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8)); };
    size_t count = 0;
    if (length == -1) {
        while (unit(count) != 0)
            ++count;
    } else if (length > 0) {
        while (count < static_cast<size_t>(length) && unit(count) != 0)
            ++count;
    }
    std::string text;
    text.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        char32_t value = unit(i);
        if (value >= 0xD800 && value <= 0xDBFF && i + 1 < count && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            value = 0x10000 + ((value - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        } else if (value >= 0xD800 && value <= 0xDFFF) {
            value = 0xFFFD;  // an unpaired surrogate
        }
        detail::AppendUtf8(text, value);
    }
    return text;
}

}  // namespace

std::string DecodeText(const void* bytes, int length, int encoding) {
    if (!bytes)
        return {};
    auto data = static_cast<const unsigned char*>(bytes);
    if (encoding == kEncodingUtf16)
        return DecodeUtf16(data, length);
    size_t count = ByteCount(data, length);
    if (encoding != kEncodingUtf8)
        return detail::CodePageToUtf8(reinterpret_cast<const char*>(data), count);

    std::string raw(reinterpret_cast<const char*>(data), count);
    std::string text;
    text.reserve(count);
    size_t position = 0;
    bool valid = true;
    while (position < raw.size())
        detail::AppendUtf8(text, detail::NextCodePoint(raw, position, valid));
    return text;
}

bool EncodeCodePage(const std::string& text, std::string& bytes) {
    bytes.clear();
    return detail::Utf8ToCodePage(text, bytes);
}

}  // namespace zefo
