#include <climits>

#include "base/path.h"

namespace zefo {

bool WithinPathLimit(std::string_view path) {
    return path.size() < PATH_MAX;
}

}  // namespace zefo
