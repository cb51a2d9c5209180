#include <windows.h>

#include <string>

#include "support/settings.h"

namespace zefo {

namespace {

std::string ToUtf8(const std::wstring& text) {
    if (text.empty())
        return {};
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

// The variable's value, read anew at each call; empty when it is unset.
std::wstring Environment(const wchar_t* name) {
    std::wstring value(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0)
            return {};
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);  // too small: length is the size needed, terminator included
    }
    return {};
}

}  // namespace

std::string ProductFolder() {
    std::string base = ToUtf8(Environment(L"APPDATA"));
    while (!base.empty() && (base.back() == '\\' || base.back() == '/'))
        base.pop_back();
    // Without APPDATA the settings have no home; they are not written into a drive root.
    if (base.empty())
        return {};
    return base + "\\Zefo\\";
}

int UserLanguageId() {
    return GetUserDefaultLangID();
}

}  // namespace zefo
