#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/path.h"
#include "support/ini_file_io.h"

namespace zefo::ini_io {

namespace {

// The program builds Windows paths ("...\Zefo\Updater\settings.ini"); here the separator is "/".
int Fd(const File& file) {
    return static_cast<int>(file.get());
}

// Opened without blocking (a FIFO must not hang the open); kept only when it is a regular file.
File OpenRegular(const std::string& path, int flags, mode_t mode = 0) {
    File file(::open(NativePath(path).c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode));
    struct stat info;
    if (!file.valid() || ::fstat(Fd(file), &info) != 0 || !S_ISREG(info.st_mode))
        return File();
    int status = ::fcntl(Fd(file), F_GETFL);
    if (status == -1 || ::fcntl(Fd(file), F_SETFL, status & ~O_NONBLOCK) == -1)
        return File();
    return file;
}

// Writes `bytes` from the start of the file, whatever the file position.
bool WriteFromStart(const File& file, std::string_view bytes) {
    off_t offset = 0;
    while (!bytes.empty()) {
        ssize_t put = ::pwrite(Fd(file), bytes.data(), bytes.size(), offset);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(put));
        offset += put;
    }
    return true;
}

}  // namespace

// POSIX has no share modes: the read-only fallbacks are one and the same open.
Opened OpenExisting(const std::string& path) {
    Opened opened;
    opened.file = OpenRegular(path, O_RDWR);
    opened.writable = opened.file.valid();
    if (!opened.writable)
        opened.file = OpenRegular(path, O_RDONLY);
    return opened;
}

bool ReadAll(const File& file, std::string& bytes, size_t limit) {
    bytes.clear();
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
        ssize_t got = ::pread(Fd(file), buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (bytes.size() + static_cast<size_t>(got) > limit)
            return false;
        bytes.append(buffer, static_cast<size_t>(got));
        offset += got;
    }
}

bool Rewrite(const File& file, std::string_view bytes) {
    return WriteFromStart(file, bytes) && ::ftruncate(Fd(file), static_cast<off_t>(bytes.size())) == 0;
}

void CopyPermissions(const File& from, const File& to) {
    struct stat info;
    if (::fstat(Fd(from), &info) == 0)
        ::fchmod(Fd(to), info.st_mode & 07777);
}

}  // namespace zefo::ini_io
