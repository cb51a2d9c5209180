#include <windows.h>

#include "sync/text_file_io.h"

namespace zefo::text_io {

namespace {

std::wstring Wide(const std::string& utf8) {
    std::u16string units = Utf8ToUtf16(utf8);
    return std::wstring(units.begin(), units.end());
}

HANDLE AsHandle(const NativeFile& file) {
    return reinterpret_cast<HANDLE>(file.get());
}

NativeFile Own(HANDLE handle) {
    return NativeFile(reinterpret_cast<intptr_t>(handle));
}

}  // namespace

NativeFile OpenForReading(const std::string& path) {
    return Own(::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
}

NativeFile CreateOrTruncate(const std::string& path) {
    std::wstring name = Wide(path);
    HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    // CREATE_ALWAYS refuses some existing files (hidden or system ones) that can still be emptied in place.
    if (handle == INVALID_HANDLE_VALUE)
        handle = ::CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    return Own(handle);
}

int64_t Read(const NativeFile& file, char* buffer, size_t size) {
    DWORD got = 0;
    if (!::ReadFile(AsHandle(file), buffer, static_cast<DWORD>(size), &got, nullptr))
        return -1;
    return got;
}

std::string ToCodePage(std::string_view utf8) {
    std::u16string units = Utf8ToUtf16(utf8);
    if (units.empty())
        return {};
    std::wstring wide(units.begin(), units.end());
    // No best-fit guesses: a character the code page lacks becomes "?" rather than a
    // look-alike (which could turn into a quote or a separator in a batch file).
    bool utf8Page = ::GetACP() == CP_UTF8;
    DWORD flags = utf8Page ? 0 : WC_NO_BEST_FIT_CHARS;
    const char* fallback = utf8Page ? nullptr : "?";
    int length = static_cast<int>(wide.size());
    int size = ::WideCharToMultiByte(CP_ACP, flags, wide.data(), length, nullptr, 0, fallback, nullptr);
    if (size <= 0)
        return {};
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, flags, wide.data(), length, out.data(), size, fallback, nullptr);
    return out;
}

}  // namespace zefo::text_io
