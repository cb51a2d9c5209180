#include <windows.h>

#include <vector>

#include "net/code_page.h"

namespace zefo::detail {

namespace {

std::string WideToUtf8(const wchar_t* wide, int length) {
    if (length <= 0)
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string text(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, length, text.data(), size, nullptr, nullptr);
    return text;
}

}  // namespace

std::string CodePageToUtf8(const char* bytes, size_t length) {
    if (length == 0 || length > 0x7FFFFFFF)
        return {};
    int count = static_cast<int>(length);
    int size = MultiByteToWideChar(CP_ACP, 0, bytes, count, nullptr, 0);
    if (size <= 0)
        return {};
    std::vector<wchar_t> wide(static_cast<size_t>(size));
    MultiByteToWideChar(CP_ACP, 0, bytes, count, wide.data(), size);
    return WideToUtf8(wide.data(), size);
}

bool Utf8ToCodePage(const std::string& text, std::string& bytes) {
    if (text.empty())
        return true;
    if (text.size() > 0x7FFFFFFF)
        return false;
    int count = static_cast<int>(text.size());
    int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), count, nullptr, 0);
    if (size <= 0)
        return false;
    std::vector<wchar_t> wide(static_cast<size_t>(size));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), count, wide.data(), size);
    // Characters the code page lacks become its default character.
    int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return false;
    bytes.resize(static_cast<size_t>(length));
    WideCharToMultiByte(CP_ACP, 0, wide.data(), size, bytes.data(), length, nullptr, nullptr);
    return true;
}

}  // namespace zefo::detail
