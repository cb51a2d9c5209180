// Setting environment variables in a test process (seen by the program's own
// lookups on every platform).
#pragma once

#include <string>

namespace zefo::test {

void SetEnvironment(const std::string& name, const std::string& value);

}  // namespace zefo::test
