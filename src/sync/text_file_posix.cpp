#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/path.h"
#include "base/utf8.h"
#include "sync/text_file_io.h"

namespace zefo::text_io {

namespace {

// The program writes Windows paths ("data\\game.dat"); here the separator is "/".
}  // namespace

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
        out += CodePointToWindows1252(unit);
    }
    return out;
}

}  // namespace zefo::text_io
