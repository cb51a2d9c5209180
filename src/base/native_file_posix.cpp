#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/native_file.h"

namespace zefo {

void CloseNativeFile(intptr_t handle) {
    ::close(static_cast<int>(handle));
}

bool WriteAllToFile(const NativeFile& file, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t put = ::write(static_cast<int>(file.get()), bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

int64_t ReadFromFile(const NativeFile& file, void* buffer, size_t size) {
    for (;;) {
        ssize_t got = ::read(static_cast<int>(file.get()), buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool WriteAtOffset(const NativeFile& file, uint64_t offset, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t put = ::pwrite(static_cast<int>(file.get()), bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(put));
        offset += static_cast<uint64_t>(put);
    }
    return true;
}

int64_t ReadAtOffset(const NativeFile& file, uint64_t offset, void* buffer, size_t size) {
    for (;;) {
        ssize_t got = ::pread(static_cast<int>(file.get()), buffer, size, static_cast<off_t>(offset));
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool FlushFileToDisk(const NativeFile& file) {
    return ::fsync(static_cast<int>(file.get())) == 0;
}

bool SyncsWholeFileSystem() {
    return true;
}

void SyncFileSystemAt(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
#if defined(__linux__)
    ::syncfs(fd);
#else
    ::sync();
#endif
    ::close(fd);
}

int64_t FileSizeOf(const NativeFile& file) {
    struct stat info;
    return ::fstat(static_cast<int>(file.get()), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

bool ResizeFile(const NativeFile& file, int64_t size) {
    return ::ftruncate(static_cast<int>(file.get()), static_cast<off_t>(size)) == 0 && SeekFile(file, size);
}

bool SeekFile(const NativeFile& file, int64_t offset) {
    return ::lseek(static_cast<int>(file.get()), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

}  // namespace zefo
