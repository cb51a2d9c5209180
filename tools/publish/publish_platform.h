// What the publisher needs from the platform beyond the engine's file calls.
// POSIX only (publish_platform_posix.cpp), like the publisher itself.
#pragma once

#include <cstdint>

#include "base/native_file.h"

namespace zefo::tools {

// Lets everybody read the file and only its owner write it, so that a web server
// running as another user can send it; true on success.
bool MakeReadableByAll(const NativeFile& file);

// What tells a file's contents apart without reading them: its size, its modification
// time and where the file system keeps it. A file rewritten in place with the same
// size and its modification time set back keeps its stamp.
struct FileStamp {
    int64_t size = -1;       // -1: no stamp
    int64_t modifiedNs = 0;  // nanoseconds since 1970
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileStamp&) const = default;
};

// The stamp of an open file; false when the platform cannot tell it.
bool StampOf(const NativeFile& file, FileStamp& stamp);

}  // namespace zefo::tools
