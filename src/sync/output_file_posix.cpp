#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sync/output_file.h"

namespace zefo {

OutputFile::~OutputFile() {
    Close();
}

bool OutputFile::CreateNew(const std::string& path) {
    Close();
    std::string native = path;
    std::replace(native.begin(), native.end(), '\\', '/');
    int fd = open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    handle_ = fd;
    return true;
}

bool OutputFile::Write(const void* data, size_t length) {
    if (handle_ < 0)
        return false;
    auto bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t written = write(static_cast<int>(handle_), bytes, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool OutputFile::Close() {
    if (handle_ < 0)
        return false;
    int fd = static_cast<int>(handle_);
    handle_ = -1;
    return close(fd) == 0;
}

}  // namespace zefo
