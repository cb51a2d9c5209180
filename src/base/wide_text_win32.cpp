#include "base/wide_text_win32.h"

#include <windows.h>

#include <climits>

namespace zefo {

namespace {

std::optional<std::wstring> ToWide(std::string_view text, DWORD flags) {
    if (text.empty())
        return std::wstring();
    if (text.size() > INT_MAX)
        return std::nullopt;
    const int size = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_UTF8, flags, text.data(), size, nullptr, 0);
    if (units <= 0)
        return std::nullopt;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_UTF8, flags, text.data(), size, wide.data(), units) != units)
        return std::nullopt;
    return wide;
}

std::optional<std::string> ToUtf8(std::wstring_view wide, DWORD flags) {
    if (wide.empty())
        return std::string();
    if (wide.size() > INT_MAX)
        return std::nullopt;
    const int size = static_cast<int>(wide.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, flags, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::nullopt;
    std::string text(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, flags, wide.data(), size, text.data(), bytes, nullptr, nullptr) != bytes)
        return std::nullopt;
    return text;
}

}  // namespace

std::wstring Widen(std::string_view text) {
    return ToWide(text, 0).value_or(std::wstring());
}

std::string Narrow(std::wstring_view text) {
    return ToUtf8(text, 0).value_or(std::string());
}

std::optional<std::wstring> WidenExact(std::string_view text) {
    return ToWide(text, MB_ERR_INVALID_CHARS);
}

std::optional<std::string> NarrowExact(std::wstring_view text) {
    return ToUtf8(text, WC_ERR_INVALID_CHARS);
}

}  // namespace zefo
