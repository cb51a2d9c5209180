#include <cstdint>
#include <string_view>

#include "base/ascii.h"
#include "base/file_system.h"
#include "base/native_file.h"
#include "sync/launch.h"
#include "sync/program_names.h"
#include "sync/self_update.h"

namespace zefo {

namespace {

// The swap script: 64 bytes in the 8-bit code page, written beside a verified copy
// and started at the end of the program (the names are those of program_names.h).
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
    if (folder.Kind(kWindowsProgramCopy) != EntryKind::File ||
        SameFileKey(ProgramPath()) != SameFileKey(folder.path() + kWindowsProgram))
        return false;
    return folder.Replace(kWindowsProgram, kWindowsProgramAside);
}

// The script as the update wrote it: one from an earlier run, from the server or
// from anyone else that differs in a byte is never started.
bool SwapScriptReady(const SafeFolder& folder) {
    int64_t size = -1;
    if (folder.Kind(kSwapScriptName, &size) != EntryKind::File || size != static_cast<int64_t>(kSwapScript.size()))
        return false;
    NativeFile script = folder.OpenForReading(kSwapScriptName);
    std::string bytes(kSwapScript.size() + 1, '\0');
    return script.valid() && ReadFromFile(script, bytes.data(), bytes.size()) == size &&
           std::string_view(bytes.data(), kSwapScript.size()) == kSwapScript;
}

}  // namespace

const char* ProgramFileName() {
    return kWindowsProgram;
}

const char* ProgramCopyName() {
    return kWindowsProgramCopy;
}

bool MakeProgramRunnable(const SafeFolder&, const std::string&) {
    // Windows runs a file by its name; it needs nothing more.
    return true;
}

bool WithdrawSwap(const SafeFolder& folder) {
    return folder.Remove(kSwapScriptName);
}

bool ReadySwap(const SafeFolder& folder) {
    // Written whole or not at all: a script exists only beside a complete copy.
    return ReplaceFileWith(folder, kSwapScriptName, kSwapScript, kSwapScriptTemporary);
}

bool CarryOutSwap(const std::string& folderPath) {
    SafeFolder folder;
    if (folder.Open(folderPath, "", false) != SafeFolder::OpenResult::Opened || !SwapScriptReady(folder))
        return false;
    const bool movedAside = MoveRunningUpdaterAside(folder);
    if (LaunchProgram(folder.path() + kSwapScriptName))
        return true;
    if (movedAside)
        folder.Replace(kWindowsProgramAside, kWindowsProgram);
    return false;
}

void RemoveSwapLeftovers(const std::string& folder) {
    // What the last swap moved aside is no longer running.
    RemoveFile(folder + kWindowsProgramAside);
}

}  // namespace zefo
