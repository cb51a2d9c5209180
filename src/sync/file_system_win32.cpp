#include <windows.h>

#include <climits>
#include <optional>

#include "support/wide_text_win32.h"
#include "sync/file_system.h"
#include "sync/file_system_platform.h"

namespace zefo {

namespace {

// Names this long reach the limits of the classic Win32 path functions (directories
// stop at 248 units, everything else at 260), so they go out in the extended-length
// form, which allows about 32,767 units. Shorter names are passed as given.
constexpr size_t kExtendedFrom = MAX_PATH - 12;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The full form of a name, resolved against the current directory.
std::optional<std::wstring> FullPath(const std::wstring& name) {
    DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    // The current directory may change (and grow) between the two calls.
    for (int attempt = 0; attempt < 3 && size > 0; ++attempt) {
        std::wstring full(size, L'\0');
        const DWORD length = GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
        if (length == 0)
            break;
        if (length < size) {
            full.resize(length);
            return full;
        }
        size = length;
    }
    return std::nullopt;
}

// The UTF-16 name to hand to the system for a UTF-8 path; nothing when the path
// is not valid UTF-8 (or holds a NUL) and so names no file.
std::optional<std::wstring> SystemPath(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        return std::nullopt;
    std::optional<std::wstring> wide = WidenExact(path);
    if (!wide || wide->empty() || StartsWith(*wide, L"\\\\?\\"))
        return wide;
    // A short relative name in a deep current directory is long as well. The
    // extended form skips the system's own clean-up of the name (separators, "."
    // and ".."), which the full form has already had.
    std::optional<std::wstring> full = FullPath(*wide);
    if (!full || full->size() < kExtendedFrom || StartsWith(*full, L"\\\\.\\"))
        return wide;
    if (StartsWith(*full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full->substr(2);
    return L"\\\\?\\" + *full;
}

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (valid())
            CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

  private:
    HANDLE handle_;
};

class FindHandle {
  public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    ~FindHandle() {
        if (valid())
            FindClose(handle_);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

namespace fs_detail {

ReadOnlyFile::ReadOnlyFile(const std::string& path) : handle_(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)) {
    std::optional<std::wstring> name = SystemPath(path);
    if (!name || name->empty())
        return;
    Handle file(CreateFileW(name->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    // Device names such as "con" or "nul" open too; only disk files have a fingerprint.
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK)
        return;
    handle_ = reinterpret_cast<intptr_t>(file.release());
}

ReadOnlyFile::~ReadOnlyFile() {
    if (IsOpen())
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool ReadOnlyFile::IsOpen() const {
    return reinterpret_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE;
}

int64_t ReadOnlyFile::Read(void* buffer, size_t size) {
    const DWORD request = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, request, &got, nullptr))
        return -1;
    return got;
}

int64_t QueryPathSize(const std::string& path) {
    if (path.size() == 2 && path[1] == ':') {
        std::optional<std::wstring> root = WidenExact(path + "\\");
        if (!root)
            return -1;
        // 0 is an undeterminable drive, 1 a missing root directory.
        return GetDriveTypeW(root->c_str()) > 1 ? -2 : -1;
    }
    std::optional<std::wstring> name = SystemPath(path);
    if (!name || name->empty())
        return -1;
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW(name->c_str(), &found));
    if (search.valid()) {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            return -2;
        return static_cast<int64_t>((static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow);
    }
    // A share root ("\\server\share") has no directory entry of its own to find.
    if (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        const DWORD attributes = GetFileAttributesW(name->c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return -2;
    }
    return -1;
}

bool CreateOneDirectory(const std::string& path) {
    std::optional<std::wstring> name = SystemPath(path);
    return name && !name->empty() && CreateDirectoryW(name->c_str(), nullptr) != 0;
}

}  // namespace fs_detail

std::string CurrentDirectory() {
    DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring directory;
    for (int attempt = 0;; ++attempt) {
        // The directory may change (and grow) between the two calls.
        if (size == 0 || attempt == 3)
            return {};
        std::wstring buffer(size, L'\0');
        const DWORD length = GetCurrentDirectoryW(size, buffer.data());
        if (length == 0)
            return {};
        if (length < size) {
            buffer.resize(length);
            directory = std::move(buffer);
            break;
        }
        size = length;
    }
    std::optional<std::string> text = NarrowExact(directory);
    if (!text)
        return {};
    if (!text->empty() && text->back() != '\\')
        *text += '\\';
    return *text;
}

bool ChangeDirectory(const std::string& folder) {
    if (folder.empty())
        return false;
    std::optional<std::wstring> name = SystemPath(folder);
    return name && !name->empty() && SetCurrentDirectoryW(name->c_str()) != 0;
}

bool MoveFileOver(const std::string& source, const std::string& target) {
    if (source.empty() || target.empty())
        return false;
    std::optional<std::wstring> from = SystemPath(source);
    std::optional<std::wstring> to = SystemPath(target);
    if (!from || !to || from->empty() || to->empty())
        return false;
    return MoveFileExW(from->c_str(), to->c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const std::string& path) {
    if (path.empty())
        return false;
    std::optional<std::wstring> name = SystemPath(path);
    if (!name || name->empty())
        return false;
    if (DeleteFileW(name->c_str()))
        return true;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace zefo
