// Platform file calls behind the settings files: ini_file_win32.cpp and
// ini_file_posix.cpp each define these; ini_file.cpp holds the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zefo::ini_io {

// Closes a raw handle (a HANDLE value or a file descriptor).
void CloseNative(intptr_t handle);

// Owns one open file; -1 means none.
class File {
  public:
    File() = default;
    explicit File(intptr_t handle) : handle_(handle) {}
    ~File() { Reset(); }
    File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.handle_;
            other.handle_ = -1;
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

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

struct Opened {
    File file;
    bool writable = false;
};

// An existing regular file: for reading and writing while others may only read it;
// failing that for reading only (others may read, then also write).
Opened OpenExisting(const std::string& path);
// Opens `path` for reading and writing, others may only read it, creating it when missing.
File OpenOrCreate(const std::string& path);
// The whole file from its start; false on a read error or when it is larger than `limit`.
bool ReadAll(const File& file, std::string& bytes, size_t limit);
// Writes `bytes` from the start of the file and cuts the file off after them.
bool Rewrite(const File& file, std::string_view bytes);
// Creates `path` or empties it, for writing, others may read it.
File CreateForWriting(const std::string& path);
// Appends `bytes` at the file position; false when the file took less.
bool WriteAll(const File& file, std::string_view bytes);
// Makes the written bytes durable before the file is moved into place.
bool Flush(const File& file);
// Gives `to` the access rights of `from` where the platform keeps them on the file.
void CopyPermissions(const File& from, const File& to);

}  // namespace zefo::ini_io
