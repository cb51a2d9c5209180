#include <cstdio>

#include "common/test_data.h"

namespace zefo::test {

std::string SystemMd5sum(const std::string& path) {
    FILE* pipe = popen(("md5sum '" + path + "' 2>/dev/null").c_str(), "r");
    if (!pipe)
        return {};
    char line[128] = {};
    std::string result;
    if (std::fgets(line, sizeof line, pipe))
        result = std::string(line).substr(0, 32);
    if (pclose(pipe) != 0)
        return {};
    return result;
}

}  // namespace zefo::test
