#include <windows.h>

#include <climits>
#include <optional>
#include <vector>

#include "base/file_system.h"
#include "base/file_system_platform.h"
#include "base/path.h"
#include "base/system_path_win32.h"
#include "base/wide_text_win32.h"

namespace zefo {

namespace {

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
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

}  // namespace

namespace fs_detail {

NativeFile OpenReadOnly(const std::string& path) {
    // Only disk files have a fingerprint.
    return OpenDiskFile(path, GENERIC_READ, FILE_ATTRIBUTE_NORMAL);
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
    if (path.size() > 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1])) {
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

namespace {

// The names in `folder` whose attributes `wanted` takes.
template <typename Wanted>
std::vector<std::string> NamesIn(const std::string& folder, size_t limit, Wanted&& wanted) {
    std::vector<std::string> names;
    std::string pattern = folder;
    while (!pattern.empty() && IsPathSeparator(pattern.back()))
        pattern.pop_back();
    std::optional<std::wstring> name = SystemPath(pattern + "\\*");
    if (pattern.empty() || !name)
        return names;
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW(name->c_str(), &found));
    if (!search.valid())
        return names;
    do {
        const std::wstring entry = found.cFileName;
        if (wanted(found.dwFileAttributes) && entry != L"." && entry != L"..") {
            if (std::optional<std::string> narrow = NarrowExact(entry))
                names.push_back(*narrow);
        }
    } while (names.size() < limit && FindNextFileW(search.get(), &found));
    return names;
}

}  // namespace

std::vector<std::string> SubfolderNames(const std::string& folder, size_t limit) {
    // A junction or link to a folder is no folder of this one.
    return NamesIn(folder, limit, [](DWORD attributes) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    });
}

std::vector<std::string> FileNames(const std::string& folder, size_t limit) {
    return NamesIn(folder, limit, [](DWORD attributes) {
        return !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
    });
}

}  // namespace zefo
