#include "base/file_system.h"
#include "base/path.h"

#include <memory>
#include <new>
#include <vector>

#include "base/file_system_platform.h"
#include "base/md5.h"

namespace zefo {

namespace {

constexpr size_t kFingerprintBlock = 1000000;

// A NUL would end the name early at the system call and so name another file.
bool HoldsNul(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

// Fills `buffer` unless the file ends first; short reads in between are not the end.
// The number of bytes read, or -1 on a read error.
int64_t ReadBlock(const NativeFile& file, uint8_t* buffer, size_t size) {
    size_t filled = 0;
    while (filled < size) {
        const int64_t got = ReadFromFile(file, buffer + filled, size - filled);
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        filled += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(filled);
}

}  // namespace

std::string FileFingerprint(const std::string& path) {
    if (path.empty() || HoldsNul(path))
        return {};
    return FingerprintOf(fs_detail::OpenReadOnly(path));
}

std::string FingerprintOf(const NativeFile& file) {
    if (!file.valid())
        return {};
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kFingerprintBlock]);
    if (!buffer)
        return {};
    Md5 md5;
    for (;;) {
        const int64_t got = ReadBlock(file, buffer.get(), kFingerprintBlock);
        // A digest of the bytes before a read error would pass for the file's own.
        if (got < 0)
            return {};
        md5.Update(buffer.get(), static_cast<size_t>(got));
        if (static_cast<size_t>(got) < kFingerprintBlock)
            break;
    }
    return md5.FinalHex();
}

int64_t QueryFileSize(const std::string& path) {
    if (path.empty() || HoldsNul(path))
        return -1;
    // Names are looked up literally, never as patterns.
    if (path.find_first_of("*?") != std::string::npos)
        return -1;
    std::string name = path;
    while (name.size() > 1 && IsPathSeparator(name.back()))
        name.pop_back();
    return fs_detail::QueryPathSize(name);
}

std::string PathPart(const std::string& path) {
    const size_t start = (!path.empty() && path[0] == '"') ? 1 : 0;
    size_t end = start;
    for (size_t i = start; i < path.size() && path[i] != '|'; ++i) {
        if (IsPathSeparator(path[i]))
            end = i + 1;
    }
    return path.substr(start, end - start);
}

bool MakeDirectory(const std::string& path) {
    if (HoldsNul(path))
        return false;
    std::string name = path;
    while (!name.empty() && (name.back() == ' ' || IsPathSeparator(name.back())))
        name.pop_back();
    if (name.empty())
        return false;
    return fs_detail::CreateOneDirectory(name);
}

void EnsureDirectory(const std::string& folder) {
    if (folder.empty())
        return;
    // Walk outwards to the first level that exists (or the first component of a
    // relative path), then create the missing levels from the outside in. Levels are
    // kept as lengths of `folder`, so a deep path costs memory in proportion to its
    // depth, and a loop, not recursion, keeps it off the stack.
    std::vector<size_t> missing{folder.size()};
    for (;;) {
        size_t parent = missing.back() - 1;  // without the level's own separator
        while (parent > 0 && !IsPathSeparator(folder[parent - 1]))
            --parent;
        if (parent == 0 || QueryFileSize(folder.substr(0, parent)) == -2)
            break;
        missing.push_back(parent);
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level)
        MakeDirectory(folder.substr(0, *level));
}

}  // namespace zefo
