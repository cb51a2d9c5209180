#include "base/utf8.h"
#include "net/code_page.h"

namespace zefo::detail {

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
            AppendUtf8(text, Windows1252ToCodePoint(static_cast<unsigned char>(bytes[run++])));
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
        bytes += CodePointToWindows1252(value);
    }
    return true;
}

}  // namespace zefo::detail
