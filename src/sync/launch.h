// Starting other programs and worker threads.
#pragma once

#include <cstdint>
#include <string>

namespace zefo {

using ThreadProcedure = int (*)(int argument);

// Starts the program or document at `path` without waiting for it; true when
// something was started.
bool LaunchProgram(const std::string& path);
// Full path of the running program's executable.
std::string ProgramPath();
// Runs `procedure(argument)` on a new detached thread; its sequence number
// (from 1), or 0 when no thread could be started.
uint32_t StartThread(ThreadProcedure procedure, int argument);

}  // namespace zefo
