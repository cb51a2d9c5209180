// One open file of the platform (a HANDLE value or a file descriptor), owned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zefo {

// Closes a raw handle (a HANDLE value or a file descriptor).
void CloseNativeFile(intptr_t handle);

// Owns one open file; -1 means none (INVALID_HANDLE_VALUE and a failed open() alike).
class NativeFile {
  public:
    NativeFile() = default;
    explicit NativeFile(intptr_t handle) : handle_(handle) {}
    ~NativeFile() { Reset(); }
    NativeFile(NativeFile&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    NativeFile& operator=(NativeFile&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.handle_;
            other.handle_ = -1;
        }
        return *this;
    }
    NativeFile(const NativeFile&) = delete;
    NativeFile& operator=(const NativeFile&) = delete;

    bool valid() const { return handle_ != -1; }
    intptr_t get() const { return handle_; }
    void Reset() {
        if (handle_ != -1)
            CloseNativeFile(handle_);
        handle_ = -1;
    }

  private:
    intptr_t handle_ = -1;
};

// Writes all of `bytes` at the file position; false when the file took less.
bool WriteAllToFile(const NativeFile& file, std::string_view bytes);
// Reads once at the file position: the count read, 0 at the end, -1 on an error.
int64_t ReadFromFile(const NativeFile& file, void* buffer, size_t size);
// Writes all of `bytes` at `offset` from the start, whatever the file position; false
// when the file took less. Calls for distinct ranges may run at once on one file.
bool WriteAtOffset(const NativeFile& file, uint64_t offset, std::string_view bytes);
// Reads up to `size` bytes at `offset`, whatever the file position: the count read, 0
// at the end, -1 on an error. Calls may run at once on one file.
int64_t ReadAtOffset(const NativeFile& file, uint64_t offset, void* buffer, size_t size);
// Makes the bytes written so far durable; true on success.
bool FlushFileToDisk(const NativeFile& file);
// Whether many files written in a row are made durable at once, with one
// SyncFileSystemAt after the last (POSIX), or only one by one with FlushFileToDisk
// (Windows, where flushing a volume takes an administrator's handle).
bool SyncsWholeFileSystem();
// Makes everything written to the file system that holds `folder` durable where
// SyncsWholeFileSystem(); elsewhere nothing.
void SyncFileSystemAt(const std::string& folder);
// The file's size, or -1.
int64_t FileSizeOf(const NativeFile& file);
// Cuts or extends the file to `size` bytes and puts the position there.
bool ResizeFile(const NativeFile& file, int64_t size);
// Puts the position at `offset` from the start.
bool SeekFile(const NativeFile& file, int64_t offset);

}  // namespace zefo
