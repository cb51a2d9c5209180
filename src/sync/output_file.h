// A file created new for writing, closed when the object goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zefo {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates `path` (UTF-8; "\" or "/" separators), which must not exist yet,
    // with read and write access while others may only read. True on success.
    bool CreateNew(const std::string& path);
    // Writes all `length` bytes; false when the file did not take them.
    bool Write(const void* data, size_t length);
    // Closes the file; true when it was open and closed cleanly.
    bool Close();

  private:
    intptr_t handle_ = -1;
};

}  // namespace zefo
