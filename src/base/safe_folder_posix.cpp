#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "base/path.h"
#include "base/safe_folder.h"

namespace zefo {

// Every level is opened relative to the one before it and never through a link, so
// the folder held at the end is the real one whatever happens to the names meanwhile.
struct SafeFolder::State {
    NativeFile folder;
};

namespace {

int Fd(const NativeFile& file) {
    return static_cast<int>(file.get());
}

NativeFile OpenLevel(int parent, const std::string& name) {
    return NativeFile(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

}  // namespace

SafeFolder::SafeFolder() = default;
SafeFolder::~SafeFolder() = default;
SafeFolder::SafeFolder(SafeFolder&& other) noexcept = default;
SafeFolder& SafeFolder::operator=(SafeFolder&& other) noexcept = default;

SafeFolder::OpenResult SafeFolder::Open(const std::string& base, const std::string& relative, bool create) {
    state_.reset();
    path_.clear();
    if (base.empty() || base.find('\0') != std::string::npos || relative.find('\0') != std::string::npos)
        return OpenResult::Refused;
    auto state = std::make_unique<State>();
    std::string native = base;
    std::replace(native.begin(), native.end(), '\\', '/');
    state->folder = NativeFile(::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!state->folder.valid())
        return errno == ENOENT && !create ? OpenResult::Missing : OpenResult::Refused;
    std::string path = base;
    if (!IsPathSeparator(path.back()))
        path += '/';

    size_t start = 0;
    while (start < relative.size()) {
        size_t end = start;
        while (end < relative.size() && !IsPathSeparator(relative[end]))
            ++end;
        const std::string name = relative.substr(start, end - start);
        start = end + 1;
        if (name.empty())
            continue;
        if (name == "." || name == "..")
            return OpenResult::Refused;
        NativeFile next = OpenLevel(Fd(state->folder), name);
        if (!next.valid() && errno == ENOENT) {
            if (!create)
                return OpenResult::Missing;
            if (::mkdirat(Fd(state->folder), name.c_str(), 0777) != 0 && errno != EEXIST)
                return OpenResult::Refused;
            next = OpenLevel(Fd(state->folder), name);
        }
        // A link gives ELOOP, a file ENOTDIR: neither is a way into the folder.
        if (!next.valid())
            return OpenResult::Refused;
        state->folder = std::move(next);
        path += name;
        path += '/';
    }
    state_ = std::move(state);
    path_ = std::move(path);
    return OpenResult::Opened;
}

EntryKind SafeFolder::Kind(const std::string& name, int64_t* size) const {
    if (!state_ || !IsPlainName(name))
        return EntryKind::Missing;
    struct stat info;
    if (::fstatat(Fd(state_->folder), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryKind::Missing;
    if (S_ISLNK(info.st_mode))
        return EntryKind::Link;
    if (S_ISDIR(info.st_mode))
        return EntryKind::Folder;
    if (!S_ISREG(info.st_mode))
        return EntryKind::Other;
    if (size)
        *size = static_cast<int64_t>(info.st_size);
    return EntryKind::File;
}

int64_t StampNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

int64_t StampTicksPerSecond() {
    return 1'000'000'000;
}

namespace {

bool StampOfStat(const struct stat& info, FileStamp& stamp) {
    if (!S_ISREG(info.st_mode))
        return false;
    stamp.size = static_cast<int64_t>(info.st_size);
    stamp.modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    stamp.volume = static_cast<uint64_t>(info.st_dev);
    stamp.id = static_cast<uint64_t>(info.st_ino);
    return true;
}

}  // namespace

bool StampOf(const NativeFile& file, FileStamp& stamp) {
    struct stat info;
    return file.valid() && ::fstat(Fd(file), &info) == 0 && StampOfStat(info, stamp);
}

bool SafeFolder::Stamp(const std::string& name, FileStamp& stamp) const {
    if (!state_ || !IsPlainName(name))
        return false;
    struct stat info;
    return ::fstatat(Fd(state_->folder), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && StampOfStat(info, stamp);
}

namespace {

// Non-blocking for the open only, so that a FIFO cannot hang it.
NativeFile OpenRegular(const NativeFile& folder, const std::string& name, int access) {
    NativeFile file(::openat(Fd(folder), name.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info;
    if (!file.valid() || ::fstat(Fd(file), &info) != 0 || !S_ISREG(info.st_mode))
        return NativeFile();
    int flags = ::fcntl(Fd(file), F_GETFL);
    if (flags == -1 || ::fcntl(Fd(file), F_SETFL, flags & ~O_NONBLOCK) == -1)
        return NativeFile();
    return file;
}

}  // namespace

NativeFile SafeFolder::OpenForReading(const std::string& name) const {
    if (!state_ || !IsPlainName(name))
        return NativeFile();
    return OpenRegular(state_->folder, name, O_RDONLY);
}

NativeFile SafeFolder::OpenForWriting(const std::string& name) const {
    if (!state_ || !IsPlainName(name))
        return NativeFile();
    return OpenRegular(state_->folder, name, O_RDWR);
}

NativeFile SafeFolder::CreateNew(const std::string& name) const {
    if (!state_ || !IsPlainName(name))
        return NativeFile();
    return NativeFile(
        ::openat(Fd(state_->folder), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

namespace {

// A file this program made and may go on writing: a regular file of the effective
// user with no other name. Anything else under a temporary name was put there by
// someone else (a hard link to a file outside the folder, another user's file) and
// is never opened for writing.
bool IsOwnFile(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1;
}

}  // namespace

SafeFolder::HoldResult SafeFolder::Hold(const std::string& name, NativeFile& file, bool& existed) const {
    file.Reset();
    if (!state_ || !IsPlainName(name))
        return HoldResult::Failed;
    const int folder = Fd(state_->folder);
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat named, held;
        existed = ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
        if (!existed && errno != ENOENT)
            return HoldResult::Failed;
        if (existed && S_ISDIR(named.st_mode))
            return HoldResult::Failed;
        if (existed && !IsOwnFile(named)) {
            // The name goes, never what it leads to.
            if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT)
                return HoldResult::Failed;
            continue;
        }
        NativeFile opened;
        if (existed) {
            opened = NativeFile(::openat(folder, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!opened.valid()) {
                if (errno == ENOENT || errno == ELOOP)
                    continue;  // it went or changed meanwhile: look again
                return HoldResult::Failed;
            }
        } else {
            opened = NativeFile(
                ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
            if (!opened.valid()) {
                if (errno == EEXIST)
                    continue;  // made by someone else meanwhile: look at that one
                return HoldResult::Failed;
            }
        }
        // What was opened is checked itself: the name may have led elsewhere by then.
        if (::fstat(Fd(opened), &held) != 0)
            return HoldResult::Failed;
        if (existed && !IsOwnFile(held))
            continue;  // swapped after the look: the next look removes it
        if (::flock(Fd(opened), LOCK_EX | LOCK_NB) != 0)
            return errno == EWOULDBLOCK ? HoldResult::Busy : HoldResult::Failed;
        // The lock is on what was opened; the name may meanwhile lead elsewhere (the
        // holder before renamed it into place). Then it is another file: open again.
        if (::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != held.st_dev ||
            named.st_ino != held.st_ino)
            continue;
        const int flags = ::fcntl(Fd(opened), F_GETFL);
        if (flags == -1 || ::fcntl(Fd(opened), F_SETFL, flags & ~O_NONBLOCK) == -1)
            return HoldResult::Failed;
        file = std::move(opened);
        return HoldResult::Held;
    }
    return HoldResult::Busy;
}

SafeFolder::HoldResult SafeFolder::HoldAnew(NativeFile& file, const std::string& name) const {
    if (!state_ || !file.valid() || !IsPlainName(name)) {
        file.Reset();
        return HoldResult::Failed;
    }
    // Removed while still held, and only while the name still leads to it.
    struct stat held, named;
    if (::fstat(Fd(file), &held) == 0 &&
        ::fstatat(Fd(state_->folder), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino && ::unlinkat(Fd(state_->folder), name.c_str(), 0) != 0) {
        file.Reset();
        return HoldResult::Failed;
    }
    file.Reset();
    bool existed = false;
    HoldResult result = Hold(name, file, existed);
    // Made by another download meanwhile: theirs now. Or still our old one, when it
    // could not be removed: never taken up again.
    if (result == HoldResult::Held && existed) {
        file.Reset();
        return HoldResult::Busy;
    }
    return result;
}

bool SafeFolder::ReplaceHeld(const NativeFile& file, const std::string& from, const std::string& to) const {
    return file.valid() && Replace(from, to);
}

bool SafeFolder::RemoveHeld(const NativeFile& file, const std::string& name) const {
    return file.valid() && Remove(name);
}

bool SafeFolder::Replace(const std::string& from, const std::string& to) const {
    if (!state_ || !IsPlainName(from) || !IsPlainName(to))
        return false;
    return ::renameat(Fd(state_->folder), from.c_str(), Fd(state_->folder), to.c_str()) == 0;
}

bool SafeFolder::Remove(const std::string& name) const {
    if (!state_ || !IsPlainName(name))
        return false;
    return ::unlinkat(Fd(state_->folder), name.c_str(), 0) == 0 || errno == ENOENT;
}

void SafeFolder::Sync() const {
    if (state_)
        ::fsync(Fd(state_->folder));
}

int64_t SafeFolder::FreeBytes() const {
    struct statvfs info;
    if (!state_ || ::fstatvfs(Fd(state_->folder), &info) != 0)
        return -1;
    // What an unprivileged writer may use; the blocks kept for root are left out.
    const auto blocks = static_cast<unsigned long long>(info.f_bavail);
    const auto block = static_cast<unsigned long long>(info.f_frsize);
    if (block != 0 && blocks > static_cast<unsigned long long>(INT64_MAX) / block)
        return INT64_MAX;
    return static_cast<int64_t>(blocks * block);
}

}  // namespace zefo
