#include <algorithm>
#include <climits>

#include "base/path.h"

namespace zefo {

bool WithinPathLimit(std::string_view path) {
    return path.size() < PATH_MAX;
}

std::string NativePath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

}  // namespace zefo
