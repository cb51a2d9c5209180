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
// Waits until every procedure StartThread started has returned, at most `timeoutMs`
// milliseconds; true when none runs any more. What the procedures did is then
// visible to the caller (the program never waits for its workers; its tests do,
// before they replace the state the workers use).
bool WaitForThreads(uint32_t timeoutMs);

}  // namespace zefo
