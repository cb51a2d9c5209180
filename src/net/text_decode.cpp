#include "net/text_decode.h"

#include <cstdint>
#include <cstring>

#include "base/utf8.h"
#include "net/code_page.h"

namespace zefo {

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
        AppendUtf8(text, value);
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

    return ValidUtf8(std::string(reinterpret_cast<const char*>(data), count));
}

bool EncodeCodePage(const std::string& text, std::string& bytes) {
    bytes.clear();
    return detail::Utf8ToCodePage(text, bytes);
}

}  // namespace zefo
