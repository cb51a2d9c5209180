#include <windows.h>

#include "base/native_file.h"

namespace zefo {

void CloseNativeFile(intptr_t handle) {
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool WriteAllToFile(const NativeFile& file, std::string_view bytes) {
    while (!bytes.empty()) {
        // WriteFile takes a DWORD count; large buffers go out in pieces.
        DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD put = 0;
        if (!::WriteFile(reinterpret_cast<HANDLE>(file.get()), bytes.data(), chunk, &put, nullptr) || put == 0)
            return false;
        bytes.remove_prefix(put);
    }
    return true;
}

int64_t ReadFromFile(const NativeFile& file, void* buffer, size_t size) {
    const DWORD request = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(reinterpret_cast<HANDLE>(file.get()), buffer, request, &got, nullptr))
        return -1;
    return got;
}

namespace {

// An OVERLAPPED that names `offset`: on a handle opened for synchronous use the call
// still waits, and reads or writes there whatever the file position.
OVERLAPPED At(uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

}  // namespace

bool WriteAtOffset(const NativeFile& file, uint64_t offset, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD put = 0;
        OVERLAPPED at = At(offset);
        if (!::WriteFile(reinterpret_cast<HANDLE>(file.get()), bytes.data(), chunk, &put, &at) || put == 0)
            return false;
        bytes.remove_prefix(put);
        offset += put;
    }
    return true;
}

int64_t ReadAtOffset(const NativeFile& file, uint64_t offset, void* buffer, size_t size) {
    const DWORD request = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD got = 0;
    OVERLAPPED at = At(offset);
    if (!::ReadFile(reinterpret_cast<HANDLE>(file.get()), buffer, request, &got, &at))
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
}

bool FlushFileToDisk(const NativeFile& file) {
    return ::FlushFileBuffers(reinterpret_cast<HANDLE>(file.get())) != 0;
}

bool SyncsWholeFileSystem() {
    return false;
}

void SyncFileSystemAt(const std::string&) {}

int64_t FileSizeOf(const NativeFile& file) {
    LARGE_INTEGER size;
    return ::GetFileSizeEx(reinterpret_cast<HANDLE>(file.get()), &size) ? size.QuadPart : -1;
}

bool ResizeFile(const NativeFile& file, int64_t size) {
    return SeekFile(file, size) && ::SetEndOfFile(reinterpret_cast<HANDLE>(file.get()));
}

bool SeekFile(const NativeFile& file, int64_t offset) {
    LARGE_INTEGER position;
    position.QuadPart = offset;
    return ::SetFilePointerEx(reinterpret_cast<HANDLE>(file.get()), position, nullptr, FILE_BEGIN) != 0;
}

}  // namespace zefo
