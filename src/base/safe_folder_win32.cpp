#include <windows.h>
#include <winternl.h>
// aclapi.h needs windows.h before it.
#include <aclapi.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/path.h"
#include "base/safe_folder.h"
#include "base/system_path_win32.h"

namespace zefo {

// Every level below the base is held open without delete sharing, which keeps it from
// being renamed, removed or replaced by a junction while the folder is in use; names
// inside are then reached through the path. Link checks look at the path's own
// attributes: a handle opened on a link may describe what the link points to.
struct SafeFolder::State {
    std::vector<HANDLE> levels;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        for (HANDLE level : levels)
            CloseHandle(level);
    }
};

namespace {

DWORD Attributes(const std::string& path) {
    std::optional<std::wstring> name = SystemPath(path);
    return name && !name->empty() ? GetFileAttributesW(name->c_str()) : INVALID_FILE_ATTRIBUTES;
}

bool IsRealFolder(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// FILE_LIST_DIRECTORY is data access, so the missing delete sharing takes effect.
HANDLE HoldLevel(const std::string& path) {
    std::optional<std::wstring> name = SystemPath(path);
    if (!name || name->empty())
        return INVALID_HANDLE_VALUE;
    return CreateFileW(name->c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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
    std::string path = base;
    if (!IsPathSeparator(path.back()))
        path += '\\';
    DWORD baseAttributes = Attributes(path);
    if (baseAttributes == INVALID_FILE_ATTRIBUTES)
        return create ? OpenResult::Refused : OpenResult::Missing;
    if (!(baseAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return OpenResult::Refused;

    size_t start = 0;
    while (start < relative.size()) {
        size_t end = start;
        while (end < relative.size() && !IsPathSeparator(relative[end]))
            ++end;
        const std::string name = relative.substr(start, end - start);
        start = end + 1;
        if (name.empty())
            continue;
        if (!IsPlainName(name))
            return OpenResult::Refused;
        const std::string level = path + name;
        DWORD attributes = Attributes(level);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (!create)
                return OpenResult::Missing;
            std::optional<std::wstring> wide = SystemPath(level);
            if (!wide || (!CreateDirectoryW(wide->c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS))
                return OpenResult::Refused;
            attributes = Attributes(level);
        }
        if (!IsRealFolder(attributes))
            return OpenResult::Refused;
        HANDLE held = HoldLevel(level);
        if (held == INVALID_HANDLE_VALUE)
            return OpenResult::Refused;
        state->levels.push_back(held);
        // Checked again now that it is held: what was looked at first may have been
        // swapped between the look and the open.
        if (!IsRealFolder(Attributes(level)))
            return OpenResult::Refused;
        path = level + '\\';
    }
    state_ = std::move(state);
    path_ = std::move(path);
    return OpenResult::Opened;
}

EntryKind SafeFolder::Kind(const std::string& name, int64_t* size) const {
    if (!state_ || !IsPlainName(name))
        return EntryKind::Missing;
    std::optional<std::wstring> wide = SystemPath(path_ + name);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!wide || wide->empty() || !GetFileAttributesExW(wide->c_str(), GetFileExInfoStandard, &data))
        return EntryKind::Missing;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return EntryKind::Link;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return EntryKind::Folder;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)
        return EntryKind::Other;
    if (size)
        *size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    return EntryKind::File;
}

int64_t StampNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

int64_t StampTicksPerSecond() {
    return 10'000'000;
}

namespace {

// The size, times and file index come from the file's own records. The volume is left
// out: GetFileInformationByHandle's volume serial costs a query of the volume (under
// Wine a round trip to its mount manager) for every file, and a file cannot move to
// another volume below real folders without a new index.
bool StampOfHandle(HANDLE file, FileStamp& stamp) {
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    FILE_INTERNAL_INFORMATION internal;
    IO_STATUS_BLOCK status;
    if (GetFileType(file) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
        !NT_SUCCESS(NtQueryInformationFile(file, &status, &internal, sizeof internal, FileInternalInformation)) ||
        standard.Directory || (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    stamp.size = standard.EndOfFile.QuadPart;
    stamp.modified = basic.LastWriteTime.QuadPart;
    stamp.volume = 0;
    stamp.id = static_cast<uint64_t>(internal.IndexNumber.QuadPart);
    return true;
}

}  // namespace

bool StampOf(const NativeFile& file, FileStamp& stamp) {
    return file.valid() && StampOfHandle(reinterpret_cast<HANDLE>(file.get()), stamp);
}

bool SafeFolder::Stamp(const std::string& name, FileStamp& stamp) const {
    if (!state_ || !IsPlainName(name))
        return false;
    std::optional<std::wstring> wide = SystemPath(path_ + name);
    if (!wide || wide->empty())
        return false;
    // Attributes only: no data access, so the open never stands in anyone's way. A
    // link opens as itself and a folder as a folder; both are told by their records.
    HANDLE file =
        CreateFileW(wide->c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool known = StampOfHandle(file, stamp);
    CloseHandle(file);
    return known;
}

namespace {

NativeFile OpenRegular(const std::string& path, DWORD access) {
    return OpenDiskFile(path, access, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN);
}

}  // namespace

NativeFile SafeFolder::OpenForReading(const std::string& name) const {
    if (Kind(name) != EntryKind::File)
        return NativeFile();
    return OpenRegular(path_ + name, GENERIC_READ);
}

NativeFile SafeFolder::OpenForWriting(const std::string& name) const {
    if (Kind(name) != EntryKind::File)
        return NativeFile();
    return OpenRegular(path_ + name, GENERIC_READ | GENERIC_WRITE);
}

NativeFile SafeFolder::CreateNew(const std::string& name) const {
    if (!state_ || !IsPlainName(name))
        return NativeFile();
    std::optional<std::wstring> wide = SystemPath(path_ + name);
    if (!wide)
        return NativeFile();
    HANDLE file = CreateFileW(wide->c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? NativeFile() : NativeFile(reinterpret_cast<intptr_t>(file));
}

namespace {

// Whether the token's user, or when the token is elevated the Administrators group
// (the owner an elevated administrator's new files get), is `owner`.
bool IsOwnOwner(PSID owner) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    bool own = false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> user(size);
    if (size > 0 && GetTokenInformation(token, TokenUser, user.data(), size, &size))
        own = EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid) != 0;
    TOKEN_ELEVATION elevation{};
    if (!own && GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
        elevation.TokenIsElevated) {
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD sidSize = sizeof administrators;
        own = CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize) &&
              EqualSid(owner, administrators);
    }
    CloseHandle(token);
    return own;
}

// A file this program made and may go on writing: a disk file with one name, no
// reparse point, of this program's owner. Anything else under a temporary name was
// put there by someone else (a hard link to a file outside the folder, another
// user's file) and is never opened for writing. `file` needs FILE_READ_ATTRIBUTES
// and READ_CONTROL.
bool IsOwnFile(HANDLE file) {
    FILE_BASIC_INFO basic;
    FILE_STANDARD_INFO standard;
    if (GetFileType(file) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) || standard.Directory ||
        standard.NumberOfLinks != 1 ||
        (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    const bool own = owner && IsOwnOwner(owner);
    LocalFree(descriptor);
    return own;
}

// Looks at the file `path` without data access, so that no one's sharing stands in
// the way: whether it is one this program made.
bool LooksOwn(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool own = IsOwnFile(file);
    CloseHandle(file);
    return own;
}

// Marks the open `file` for removal: its name goes when it closes, never what a link
// leads to.
bool RemoveOnClose(HANDLE file) {
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) != 0;
}

}  // namespace

SafeFolder::HoldResult SafeFolder::Hold(const std::string& name, NativeFile& file, bool& existed) const {
    file.Reset();
    if (!state_ || !IsPlainName(name))
        return HoldResult::Failed;
    std::optional<std::wstring> wide = SystemPath(path_ + name);
    if (!wide)
        return HoldResult::Failed;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const EntryKind kind = Kind(name);
        if (kind != EntryKind::Missing && kind != EntryKind::File && kind != EntryKind::Link)
            return HoldResult::Failed;
        if (kind != EntryKind::Missing && (kind == EntryKind::Link || !LooksOwn(*wide))) {
            // The name goes, never what it leads to (a link to a folder stays: Failed).
            if (!Remove(name))
                return HoldResult::Failed;
            continue;
        }
        existed = kind == EntryKind::File;
        // Others may read it, never write, rename or remove it while it is held.
        HANDLE opened = CreateFileW(wide->c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL,
                                    FILE_SHARE_READ, nullptr, existed ? OPEN_EXISTING : CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (opened == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_SHARING_VIOLATION)
                return HoldResult::Busy;
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_NOT_FOUND)
                continue;  // it came or went meanwhile: look again
            return HoldResult::Failed;
        }
        NativeFile owned(reinterpret_cast<intptr_t>(opened));
        if (GetFileType(opened) != FILE_TYPE_DISK)
            return HoldResult::Failed;
        // What was opened is checked itself: the name may have led elsewhere by then.
        if (existed && !IsOwnFile(opened)) {
            if (!RemoveOnClose(opened))
                return HoldResult::Failed;
            continue;
        }
        if (Kind(name) != EntryKind::File)
            return HoldResult::Failed;
        file = std::move(owned);
        return HoldResult::Held;
    }
    return HoldResult::Busy;
}

SafeFolder::HoldResult SafeFolder::HoldAnew(NativeFile& file, const std::string& name) const {
    if (!state_ || !file.valid() || !IsPlainName(name) || !RemoveOnClose(reinterpret_cast<HANDLE>(file.get()))) {
        file.Reset();
        return HoldResult::Failed;
    }
    file.Reset();
    bool existed = false;
    HoldResult result = Hold(name, file, existed);
    // Made by another download meanwhile: theirs now.
    if (result == HoldResult::Held && existed) {
        file.Reset();
        return HoldResult::Busy;
    }
    return result;
}

bool SafeFolder::ReplaceHeld(const NativeFile& file, const std::string& from, const std::string& to) const {
    if (!state_ || !file.valid() || !IsPlainName(from) || !IsPlainName(to) || Kind(to) == EntryKind::Folder)
        return false;
    std::optional<std::wstring> target = SystemPath(path_ + to);
    if (!target)
        return false;
    // The rename goes through the handle that holds the file.
    const size_t bytes = target->size() * sizeof(wchar_t);
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + bytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::copy(target->begin(), target->end(), info->FileName);
    return SetFileInformationByHandle(reinterpret_cast<HANDLE>(file.get()), FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

bool SafeFolder::RemoveHeld(const NativeFile& file, const std::string& name) const {
    if (!state_ || !file.valid() || !IsPlainName(name))
        return false;
    // Deleted through the handle that holds it: removed once the handle closes.
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = TRUE;
    return SetFileInformationByHandle(reinterpret_cast<HANDLE>(file.get()), FileDispositionInfo, &info, sizeof info) !=
           0;
}

bool SafeFolder::Replace(const std::string& from, const std::string& to) const {
    if (!state_ || !IsPlainName(from) || !IsPlainName(to) || Kind(to) == EntryKind::Folder)
        return false;
    std::optional<std::wstring> source = SystemPath(path_ + from);
    std::optional<std::wstring> target = SystemPath(path_ + to);
    return source && target &&
           MoveFileExW(source->c_str(), target->c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool SafeFolder::Remove(const std::string& name) const {
    if (!state_ || !IsPlainName(name))
        return false;
    switch (Kind(name)) {
        case EntryKind::Missing:
            return true;
        case EntryKind::File:
            break;
        case EntryKind::Link: {
            // A link to a folder is left alone: removing it as a folder may remove
            // what it points to on some systems.
            std::optional<std::wstring> wide = SystemPath(path_ + name);
            DWORD attributes = wide ? GetFileAttributesW(wide->c_str()) : INVALID_FILE_ATTRIBUTES;
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
                return false;
            break;
        }
        default:
            return false;
    }
    std::optional<std::wstring> wide = SystemPath(path_ + name);
    if (!wide)
        return false;
    if (DeleteFileW(wide->c_str()))
        return true;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void SafeFolder::Sync() const {
    // MoveFileExW with MOVEFILE_WRITE_THROUGH has made the new name durable already.
}

int64_t SafeFolder::FreeBytes() const {
    if (!state_)
        return -1;
    std::optional<std::wstring> wide = SystemPath(path_);
    ULARGE_INTEGER available;
    if (!wide || wide->empty() || !GetDiskFreeSpaceExW(wide->c_str(), &available, nullptr, nullptr))
        return -1;
    // The bytes available to this user, within a quota where one applies.
    return available.QuadPart > static_cast<ULONGLONG>(INT64_MAX) ? INT64_MAX
                                                                  : static_cast<int64_t>(available.QuadPart);
}

}  // namespace zefo
