#include <windows.h>

#include <string>

#include "base/wide_text_win32.h"
#include "support/settings.h"

namespace zefo {

namespace {

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
    std::string base = Narrow(Environment(L"APPDATA"));
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
