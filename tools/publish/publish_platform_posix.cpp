#include <sys/stat.h>

#include "publish/publish_platform.h"

namespace zefo::tools {

bool MakeReadableByAll(const NativeFile& file) {
    return ::fchmod(static_cast<int>(file.get()), 0644) == 0;
}

bool StampOf(const NativeFile& file, FileStamp& stamp) {
    struct stat info;
    if (!file.valid() || ::fstat(static_cast<int>(file.get()), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    stamp.size = static_cast<int64_t>(info.st_size);
    stamp.modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    stamp.device = static_cast<uint64_t>(info.st_dev);
    stamp.inode = static_cast<uint64_t>(info.st_ino);
    return true;
}

}  // namespace zefo::tools
