#include <sys/stat.h>

#include <mutex>
#include <string>

#include "base/ascii.h"
#include "base/file_system.h"
#include "base/native_file.h"
#include "sync/program_names.h"
#include "sync/self_update.h"

namespace zefo {

namespace {

// rwxr-xr-x: the copy runs for everyone who may run the program it replaces.
constexpr mode_t kProgramMode = S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH;

// The swap this process readied: the folder and the copy's fingerprint as verified.
struct Readied {
    std::mutex lock;
    std::string folder;
    std::string fingerprint;
};

Readied& readied() {
    static Readied instance;
    return instance;
}

void Note(const std::string& folder, const std::string& fingerprint) {
    Readied& r = readied();
    std::lock_guard guard(r.lock);
    r.folder = folder;
    r.fingerprint = fingerprint;
}

}  // namespace

const char* ProgramFileName() {
    return kPosixProgram;
}

const char* ProgramCopyName() {
    return kPosixProgramCopy;
}

bool MakeProgramRunnable(const SafeFolder& folder, const std::string& name) {
    NativeFile program = folder.OpenForReading(name);
    return program.valid() && ::fchmod(static_cast<int>(program.get()), kProgramMode) == 0;
}

bool WithdrawSwap(const SafeFolder&) {
    // The download replaces an earlier copy in one step; until it is verified again
    // nothing is to be swapped in.
    Note({}, {});
    return true;
}

bool ReadySwap(const SafeFolder& folder) {
    // Made executable and fingerprinted through one descriptor, so both apply to
    // the file that the download verified.
    NativeFile copy = folder.OpenForReading(kPosixProgramCopy);
    if (!copy.valid() || ::fchmod(static_cast<int>(copy.get()), kProgramMode) != 0)
        return false;
    const std::string fingerprint = FingerprintOf(copy);
    if (fingerprint.empty())
        return false;
    Note(folder.path(), fingerprint);
    return true;
}

bool CarryOutSwap(const std::string& folderPath) {
    std::string fingerprint;
    {
        Readied& r = readied();
        std::lock_guard guard(r.lock);
        if (r.folder.empty() || r.folder != folderPath)
            return false;
        fingerprint = r.fingerprint;
    }
    SafeFolder folder;
    if (folder.Open(folderPath, "", false) != SafeFolder::OpenResult::Opened)
        return false;
    NativeFile copy = folder.OpenForReading(kPosixProgramCopy);
    struct stat info {};
    if (!copy.valid() || ::fstat(static_cast<int>(copy.get()), &info) != 0 || (info.st_mode & S_IXUSR) == 0 ||
        !SameHexText(FingerprintOf(copy), fingerprint))
        return false;
    // One rename: the program's name always holds a whole program, the old or the new.
    if (!folder.Replace(kPosixProgramCopy, kPosixProgram))
        return false;
    folder.Sync();
    Note({}, {});
    return true;
}

void RemoveSwapLeftovers(const std::string& folder) {
    // A copy that an earlier run verified but never swapped in: this run's update
    // downloads it again when the program is still out of date.
    RemoveFile(folder + kPosixProgramCopy);
}

}  // namespace zefo
