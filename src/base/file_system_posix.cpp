#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "base/file_system.h"
#include "base/file_system_platform.h"
#include "base/path.h"

namespace zefo {

namespace {

// "\" separates folders here too, so names written for Windows work unchanged.
}  // namespace

namespace fs_detail {

NativeFile OpenReadOnly(const std::string& path) {
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused just below.
    NativeFile file(open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info;
    if (!file.valid() || fstat(static_cast<int>(file.get()), &info) != 0 || !S_ISREG(info.st_mode))
        return NativeFile();
    return file;
}

int64_t QueryPathSize(const std::string& path) {
    struct stat info;
    if (stat(NativePath(path).c_str(), &info) != 0)
        return -1;
    if (S_ISDIR(info.st_mode))
        return -2;
    return static_cast<int64_t>(info.st_size);
}

bool CreateOneDirectory(const std::string& path) {
    return mkdir(NativePath(path).c_str(), 0777) == 0;
}

}  // namespace fs_detail

std::string CurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()))
            break;
        if (errno != ERANGE || buffer.size() >= (size_t{1} << 24))
            return {};
        buffer.resize(buffer.size() * 2);
    }
    std::string directory(buffer.data());
    if (!directory.empty() && directory.back() != '/')
        directory += '/';
    return directory;
}

bool ChangeDirectory(const std::string& folder) {
    if (folder.empty() || folder.find('\0') != std::string::npos)
        return false;
    return chdir(NativePath(folder).c_str()) == 0;
}

bool MoveFileOver(const std::string& source, const std::string& target) {
    if (source.empty() || target.empty() || source.find('\0') != std::string::npos ||
        target.find('\0') != std::string::npos)
        return false;
    const std::string to = NativePath(target);
    if (rename(NativePath(source).c_str(), to.c_str()) != 0)
        return false;
    // Make the new name itself durable, as write-through does on Windows.
    const size_t slash = to.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : to.substr(0, slash));
    NativeFile directory(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid())
        fsync(static_cast<int>(directory.get()));
    return true;
}

bool RemoveFile(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return false;
    return unlink(NativePath(path).c_str()) == 0 || errno == ENOENT;
}

namespace {

// The names in `folder` whose entry (not what a link leads to) `wanted` takes.
template <typename Wanted>
std::vector<std::string> NamesIn(const std::string& folder, size_t limit, Wanted&& wanted) {
    std::vector<std::string> names;
    if (folder.empty() || folder.find('\0') != std::string::npos)
        return names;
    DIR* directory = opendir(NativePath(folder).c_str());
    if (!directory)
        return names;
    while (names.size() < limit) {
        const dirent* entry = readdir(directory);
        if (!entry)
            break;
        const std::string name = entry->d_name;
        struct stat info;
        // lstat: a link to a folder is no folder of this one.
        if (name != "." && name != ".." && fstatat(dirfd(directory), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            wanted(info.st_mode))
            names.push_back(name);
    }
    closedir(directory);
    return names;
}

}  // namespace

std::vector<std::string> SubfolderNames(const std::string& folder, size_t limit) {
    return NamesIn(folder, limit, [](mode_t mode) { return S_ISDIR(mode); });
}

std::vector<std::string> FileNames(const std::string& folder, size_t limit) {
    return NamesIn(folder, limit, [](mode_t mode) { return S_ISREG(mode); });
}

}  // namespace zefo
