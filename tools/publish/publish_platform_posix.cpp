#include <sys/stat.h>

#include "publish/publish_platform.h"

namespace zefo::tools {

bool MakeReadableByAll(const NativeFile& file) {
    return ::fchmod(static_cast<int>(file.get()), 0644) == 0;
}

}  // namespace zefo::tools
