#include <cstdint>
#include <string_view>

#include "base/ascii.h"
#include "base/file_system.h"
#include "base/native_file.h"
#include "sync/launch.h"
#include "sync/self_update.h"

namespace zefo {

namespace {

constexpr const char* kUpdater = "Update.exe";
constexpr const char* kUpdaterCopy = "Update_copy.exe";
constexpr const char* kUpdaterAside = "Update.exe.old";
constexpr const char* kScript = "Update.bat";
constexpr const char* kScriptTemp = "Update.bat.new";

// The swap script: 64 bytes in the 8-bit code page, written beside a verified
// Update_copy.exe and started at the end of the program.
constexpr std::string_view kSwapScript = "del Update.exe\r\nren Update_copy.exe Update.exe\r\ndel Update.bat\r\n";

// The running executable cannot be deleted while its process is still ending,
// so when the swap script is about to replace this very program it would race
// the exit and fail. A running image can be renamed, though: it is moved aside
// first, so the script's "del" has nothing left to do and its "ren" always
// succeeds. If the script cannot be started, the old updater is put back.
std::string SameFileKey(std::string path) {
    for (char& c : path)
        c = c == '/' ? '\\' : LowerAscii(c);
    return path;
}

bool MoveRunningUpdaterAside(const SafeFolder& folder) {
    if (folder.Kind(kUpdaterCopy) != EntryKind::File ||
        SameFileKey(ProgramPath()) != SameFileKey(folder.path() + kUpdater))
        return false;
    return folder.Replace(kUpdater, kUpdaterAside);
}

// The script as the update wrote it: one from an earlier run, from the server or
// from anyone else that differs in a byte is never started.
bool SwapScriptReady(const SafeFolder& folder) {
    int64_t size = -1;
    if (folder.Kind(kScript, &size) != EntryKind::File || size != static_cast<int64_t>(kSwapScript.size()))
        return false;
    NativeFile script = folder.OpenForReading(kScript);
    std::string bytes(kSwapScript.size() + 1, '\0');
    return script.valid() && ReadFromFile(script, bytes.data(), bytes.size()) == size &&
           std::string_view(bytes.data(), kSwapScript.size()) == kSwapScript;
}

}  // namespace

const char* ProgramFileName() {
    return kUpdater;
}

const char* ProgramCopyName() {
    return kUpdaterCopy;
}

bool MakeProgramRunnable(const SafeFolder&, const std::string&) {
    // Windows runs a file by its name; it needs nothing more.
    return true;
}

bool WithdrawSwap(const SafeFolder& folder) {
    return folder.Remove(kScript);
}

bool ReadySwap(const SafeFolder& folder) {
    // Written whole or not at all: a script exists only beside a complete copy.
    return ReplaceFileWith(folder, kScript, kSwapScript, kScriptTemp);
}

bool CarryOutSwap(const std::string& folderPath) {
    SafeFolder folder;
    if (folder.Open(folderPath, "", false) != SafeFolder::OpenResult::Opened || !SwapScriptReady(folder))
        return false;
    const bool movedAside = MoveRunningUpdaterAside(folder);
    if (LaunchProgram(folder.path() + kScript))
        return true;
    if (movedAside)
        folder.Replace(kUpdaterAside, kUpdater);
    return false;
}

void RemoveSwapLeftovers(const std::string& folder) {
    // What the last swap moved aside is no longer running.
    RemoveFile(folder + kUpdaterAside);
}

}  // namespace zefo
