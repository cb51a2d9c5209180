// What the publisher needs from the platform beyond the engine's file calls.
// POSIX only (publish_platform_posix.cpp), like the publisher itself.
#pragma once

#include "base/native_file.h"

namespace zefo::tools {

// Lets everybody read the file and only its owner write it, so that a web server
// running as another user can send it; true on success.
bool MakeReadableByAll(const NativeFile& file);

}  // namespace zefo::tools
