// The program's own file among a game's listed files, and how a newer one takes its
// place. The new program is downloaded and verified beside the running one under a
// name of its own; the swap happens when the program ends. Each platform implements
// these functions: Windows cannot replace the file of a running program, so a script
// started at the exit swaps the two; POSIX renames the copy over the running program
// in one step.
#pragma once

#include <string>

#include "base/safe_folder.h"

namespace zefo {

// The name under which a game lists the program's own file at the top of its folder:
// "Update.exe" on Windows, "zefo-updater" elsewhere.
const char* ProgramFileName();
// The name of the verified new program beside it: "Update_copy.exe", "zefo-updater.new".
const char* ProgramCopyName();

// After a plain download put the program's own file as `name` into `folder` (an
// installation): makes it runnable (POSIX: executable). True when it is.
bool MakeProgramRunnable(const SafeFolder& folder, const std::string& name);

// Before a new copy is downloaded into `folder`: takes away what would swap an earlier
// copy in. False when that cannot be done; the download must not start then.
bool WithdrawSwap(const SafeFolder& folder);
// After the complete, verified copy is in `folder`: readies the swap (Windows writes the
// swap script whole; POSIX makes the copy executable and notes its fingerprint). False
// when the swap cannot be readied.
bool ReadySwap(const SafeFolder& folder);
// At the program's end: carries out the swap readied in `folder` by this process, and
// only while what was readied is still as it was left (the script's exact bytes, the
// copy's fingerprint). True when the swap was done or started.
bool CarryOutSwap(const std::string& folder);
// At the start in Updater mode: removes what the last swap left behind in `folder`.
void RemoveSwapLeftovers(const std::string& folder);

}  // namespace zefo
