#include <windows.h>

#include <string>

#include "common/environment.h"
#include "support/wide_text_win32.h"

namespace zefo::test {

void SetEnvironment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableW(Widen(name).c_str(), Widen(value).c_str());
}

}  // namespace zefo::test
