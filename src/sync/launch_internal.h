// Pieces of the launch files shared by both platforms' files or exposed for tests.
#pragma once

#include <cstdint>
#include <string>

namespace zefo::launch_detail {

// An executable's path without the long-path form "\\?\" ("\\?\UNC\" becomes "\\").
std::string WithoutLongPathPrefix(const std::string& path);

// The count of running procedures behind WaitForThreads (launch.cpp): a thread
// start counts one up before the thread exists, the thread counts it down once its
// procedure returned (or the start, when no thread could be made).
void CountThreadStart();
void CountThreadEnd();

}  // namespace zefo::launch_detail
