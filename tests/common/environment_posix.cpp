#include <cstdlib>

#include "common/environment.h"

namespace zefo::test {

void SetEnvironment(const std::string& name, const std::string& value) {
    setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace zefo::test
