#include "base/path.h"

namespace zefo {

bool IsPlainName(std::string_view name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char c : name) {
        if (IsPathSeparator(c) || c == '\0')
            return false;
    }
    return true;
}

}  // namespace zefo
