#include <unistd.h>

#include <cerrno>

#include "support/native_file.h"

namespace zefo {

void CloseNativeFile(intptr_t handle) {
    ::close(static_cast<int>(handle));
}

bool WriteAllToFile(const NativeFile& file, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t put = ::write(static_cast<int>(file.get()), bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

}  // namespace zefo
