#include <windows.h>

#include "support/wide_text_win32.h"
#include "sync/output_file.h"

namespace zefo {

namespace {

HANDLE Handle(intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

OutputFile::~OutputFile() {
    Close();
}

bool OutputFile::CreateNew(const std::string& path) {
    Close();
    // A name that is not valid UTF-8 stays unopened rather than naming another file.
    std::wstring wide = WidenExact(path).value_or(std::wstring());
    if (wide.empty())
        return false;
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

bool OutputFile::Write(const void* data, size_t length) {
    if (handle_ == -1)
        return false;
    auto bytes = static_cast<const char*>(data);
    while (length > 0) {
        DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(Handle(handle_), bytes, chunk, &written, nullptr) || written == 0)
            return false;
        bytes += written;
        length -= written;
    }
    return true;
}

bool OutputFile::Close() {
    if (handle_ == -1)
        return false;
    HANDLE file = Handle(handle_);
    handle_ = -1;
    return CloseHandle(file) != 0;
}

}  // namespace zefo
