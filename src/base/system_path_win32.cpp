#include "base/system_path_win32.h"

#include <windows.h>

#include "base/wide_text_win32.h"

namespace zefo {

namespace {

// Names this long reach the limits of the classic Win32 path functions (directories
// stop at 248 units, everything else at 260), so they go out in the extended-length
// form, which allows about 32,767 units. Shorter names are passed as given.
constexpr size_t kExtendedFrom = MAX_PATH - 12;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The full form of a name, resolved against the current directory.
std::optional<std::wstring> FullPath(const std::wstring& name) {
    DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    // The current directory may change (and grow) between the two calls.
    for (int attempt = 0; attempt < 3 && size > 0; ++attempt) {
        std::wstring full(size, L'\0');
        const DWORD length = GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
        if (length == 0)
            break;
        if (length < size) {
            full.resize(length);
            return full;
        }
        size = length;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::wstring> SystemPath(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        return std::nullopt;
    std::optional<std::wstring> wide = WidenExact(path);
    if (!wide || wide->empty() || StartsWith(*wide, L"\\\\?\\"))
        return wide;
    // A short relative name in a deep current directory is long as well. The
    // extended form skips the system's own clean-up of the name (separators, "."
    // and ".."), which the full form has already had.
    std::optional<std::wstring> full = FullPath(*wide);
    if (!full || full->size() < kExtendedFrom || StartsWith(*full, L"\\\\.\\"))
        return wide;
    if (StartsWith(*full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full->substr(2);
    return L"\\\\?\\" + *full;
}

NativeFile OpenDiskFile(const std::string& path, uint32_t access, uint32_t flags) {
    std::optional<std::wstring> name = SystemPath(path);
    if (!name || name->empty())
        return NativeFile();
    HANDLE file = CreateFileW(name->c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return NativeFile();
    NativeFile owned(reinterpret_cast<intptr_t>(file));
    if (GetFileType(file) != FILE_TYPE_DISK)
        return NativeFile();
    return owned;
}

}  // namespace zefo
