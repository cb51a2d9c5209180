#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sync/text_file_io.h"

namespace zefo::text_io {

namespace {

// Windows-1252 bytes 80..9F; 0 where the code page has no character.
// The five holes map to themselves, as the Windows converter does.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// The program writes Windows paths ("data\\game.dat"); here the separator is "/".
std::string NativePath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

char ToWindows1252(char16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF))
        return static_cast<char>(unit);
    for (unsigned i = 0; i < 32; ++i) {
        if (kHighControls[i] == unit)
            return static_cast<char>(0x80 + i);
    }
    return '?';
}

}  // namespace

void CloseNative(intptr_t handle) {
    ::close(static_cast<int>(handle));
}

NativeFile OpenForReading(const std::string& path) {
    // Non-blocking only for the open itself, so that a FIFO cannot hang it; then only
    // regular files are kept, as on Windows, where directories do not open this way.
    NativeFile file(::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info;
    if (!file.valid() || ::fstat(static_cast<int>(file.get()), &info) != 0 || !S_ISREG(info.st_mode))
        return NativeFile();
    int flags = ::fcntl(static_cast<int>(file.get()), F_GETFL);
    if (flags == -1 || ::fcntl(static_cast<int>(file.get()), F_SETFL, flags & ~O_NONBLOCK) == -1)
        return NativeFile();
    return file;
}

NativeFile CreateOrTruncate(const std::string& path) {
    std::string name = NativePath(path);
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    // A file this process may write but not read can still be emptied in place.
    if (fd < 0)
        fd = ::open(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    return NativeFile(fd);
}

int64_t Read(const NativeFile& file, char* buffer, size_t size) {
    for (;;) {
        ssize_t got = ::read(static_cast<int>(file.get()), buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool WriteAll(const NativeFile& file, const char* data, size_t size) {
    while (size > 0) {
        ssize_t put = ::write(static_cast<int>(file.get()), data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

std::string ToCodePage(std::string_view utf8) {
    std::u16string units = Utf8ToUtf16(utf8);
    std::string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        char16_t unit = units[i];
        // A surrogate pair is one character outside the code page: one "?".
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF)
            ++i;
        out += ToWindows1252(unit);
    }
    return out;
}

}  // namespace zefo::text_io
