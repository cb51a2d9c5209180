// Platform file calls behind the text-file slots: text_file_win32.cpp and
// text_file_posix.cpp each define these; text_file.cpp holds the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zefo::text_io {

// Closes a raw handle (a HANDLE value or a file descriptor).
void CloseNative(intptr_t handle);

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
            CloseNative(handle_);
        handle_ = -1;
    }

  private:
    intptr_t handle_ = -1;
};

// An existing file for reading; others may read it too but not write it.
NativeFile OpenForReading(const std::string& path);
// Creates the file or empties an existing one (falling back to truncating it in place).
NativeFile CreateOrTruncate(const std::string& path);
// Bytes read into `buffer` (0 at end of file), -1 on failure.
int64_t Read(const NativeFile& file, char* buffer, size_t size);
// Writes all of `data`; false when the file took less.
bool WriteAll(const NativeFile& file, const char* data, size_t size);
// The UTF-8 text in the 8-bit code page; characters it lacks become "?".
std::string ToCodePage(std::string_view utf8);

// Shared by both platforms (text_file.cpp): UTF-8 to UTF-16 code units, each
// invalid byte sequence giving U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

}  // namespace zefo::text_io
