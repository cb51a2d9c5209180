// Pieces of launch_win32.cpp exposed for its tests.
#pragma once

#include <string>

namespace zefo::launch_detail {

// An executable's path without the long-path form "\\?\" ("\\?\UNC\" becomes "\\").
std::string WithoutLongPathPrefix(const std::string& path);

}  // namespace zefo::launch_detail
