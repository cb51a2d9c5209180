// Where the program keeps between runs what it later relies on to trust lists and
// files: the versions of accepted signed lists and the remembered fingerprints of a
// game's files. Each platform file (trust_folder_win32.cpp, trust_folder_posix.cpp)
// defines these.
#pragma once

#include <string>

namespace zefo {

// The folder this process keeps that state in, ending in a separator, made when
// missing. Where the program runs as the user, the product folder. On Windows, for a
// process that runs elevated, "Zefo" in ProgramData, made so that only administrators
// and the system can change it; a folder there that anyone else owns or may change
// is never used (nor taken over), and the result is then empty.
std::string TrustFolder();

// The folder elevated runs keep that state in, when it exists and only
// administrators and the system can change it; else empty. Runs that are not
// elevated read the versions kept there. Always empty where the program only ever
// runs as the user.
std::string ElevatedTrustFolder();

}  // namespace zefo
