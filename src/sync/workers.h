// The install and update workers. Thread entries: the argument is ignored, they return 0.
#pragma once

#include <string>
#include <string_view>

namespace zefo {

// The self-update script Update.bat: 64 bytes in the 8-bit code page. The update
// worker writes it beside a verified Update_copy.exe; the end of the program starts it.
inline constexpr std::string_view kSwapScript =
    "del Update.exe\r\nren Update_copy.exe Update.exe\r\ndel Update.bat\r\n";

// Installs every file of State().fileList, loaded for gameFolder, into installFolder.
int InstallWorker(int argument);
// Downloads every chosen listed file that is missing or differs, including a new
// updater (as Update_copy.exe with the Update.bat that swaps it in at exit).
int UpdateWorker(int argument);

// True when a path from the server may name a file inside the game folder: relative,
// no drive or share, no "." or ".." component, no Windows device name, no character
// that Windows forbids in file names, no empty component and none ending in a dot or
// blank, none of the names the program keeps for itself (the swap script, the new
// updater's copy, temporary names; in any letter case), at most 128 levels deep and
// within the platform's path length. Other paths are never read, created or written.
bool IsSafeRelativePath(const std::string& path);

// done / total as a whole percentage, halves to even, within 0..100; 100 when total is 0.
int ProgressPercent(float done, float total);

}  // namespace zefo
