// The install and update workers. Thread entries: the argument is ignored, they return 0.
#pragma once

#include <string>

namespace zefo {

// Installs every file of State().fileList, loaded for gameFolder, into installFolder.
int InstallWorker(int argument);
// Downloads every chosen listed file that is missing or differs, including a new
// updater (as Update_copy.exe with the Update.bat that swaps it in at exit).
int UpdateWorker(int argument);

// True when a path from the server may name a file inside the game folder: relative,
// no drive or share, no "." or ".." component, no Windows device name, no character
// that Windows forbids in file names, no empty component and none ending in a dot or
// blank. Other paths are never read, created or written.
bool IsSafeRelativePath(const std::string& path);

// done / total as a whole percentage, halves to even, within 0..100; 100 when total is 0.
int ProgressPercent(float done, float total);

}  // namespace zefo
