// The names the program gives its own files in a game folder, on every platform. A
// listed file under one of them could replace what the program starts or swaps in at
// its end, or a download's temporary file, so every client refuses them in a list,
// whatever platform it runs on.
#pragma once

#include <string_view>

#include "base/listed_path.h"

namespace zefo {

// Windows: the program, its verified new copy, the running program moved aside while
// the swap script (and its temporary name) replaces it.
inline constexpr const char* kWindowsProgram = "Update.exe";
inline constexpr const char* kWindowsProgramCopy = "Update_copy.exe";
inline constexpr const char* kWindowsProgramAside = "Update.exe.old";
inline constexpr const char* kSwapScriptName = "Update.bat";
inline constexpr const char* kSwapScriptTemporary = "Update.bat.new";
// POSIX: the program and its verified new copy.
inline constexpr const char* kPosixProgram = "zefo-updater";
inline constexpr const char* kPosixProgramCopy = "zefo-updater.new";

// A download's temporary file is "<name>.zefotmp", one per file, never numbered. Listed
// paths may not end in the suffix with digits after it either: earlier versions of the
// program numbered their temporary files so, and one may still lie in a game folder.
inline constexpr const char* kIncomingSuffix = ".zefotmp";

inline constexpr std::string_view kReservedTopNames[] = {kSwapScriptName, kSwapScriptTemporary, kWindowsProgramCopy,
                                                         kWindowsProgramAside, kPosixProgramCopy};
// What the path check (listed_path.h) refuses for this program.
inline constexpr ReservedNames kProgramNames{kReservedTopNames, kIncomingSuffix};

}  // namespace zefo
