#include "base/path.h"
#include "base/utf8.h"

namespace zefo {

// The extended-length form takes names of up to 32,767 UTF-16 units.
bool WithinPathLimit(std::string_view path) {
    size_t units = 0;
    for (size_t pos = 0; pos < path.size();) {
        units += NextCodePoint(path, pos) > 0xFFFF ? 2 : 1;
        if (units > 32767)
            return false;
    }
    return true;
}

}  // namespace zefo
