#include <windows.h>

#include <climits>

#include "base/wide_text_win32.h"
#include "support/ini_file_io.h"

namespace zefo::ini_io {

namespace {

HANDLE Handle(const File& file) {
    return reinterpret_cast<HANDLE>(file.get());
}

File Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    std::wstring name = Widen(path);
    if (name.empty())
        return File();
    return File(reinterpret_cast<intptr_t>(
        ::CreateFileW(name.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

}  // namespace

Opened OpenExisting(const std::string& path) {
    Opened opened;
    opened.file = Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    opened.writable = opened.file.valid();
    if (!opened.writable)
        opened.file = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (!opened.file.valid())
        opened.file = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    return opened;
}

bool ReadAll(const File& file, std::string& bytes, size_t limit) {
    bytes.clear();
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(Handle(file), &size) || size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > limit)
        return false;
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(Handle(file), start, nullptr, FILE_BEGIN))
        return false;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(Handle(file), buffer, sizeof buffer, &got, nullptr))
            return false;
        if (got == 0)
            return true;
        if (bytes.size() + got > limit)
            return false;
        bytes.append(buffer, got);
    }
}

bool Rewrite(const File& file, std::string_view bytes) {
    LARGE_INTEGER start{};
    return ::SetFilePointerEx(Handle(file), start, nullptr, FILE_BEGIN) && WriteAllToFile(file, bytes) &&
           ::SetEndOfFile(Handle(file));
}

// Access rights come from the folder the replacement is created in; nothing to copy.
void CopyPermissions(const File&, const File&) {}

}  // namespace zefo::ini_io
