#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/status.h"
#include "support/translations.h"
#include "sync/file_system.h"
#include "sync/http_download.h"
#include "sync/text_file.h"
#include "sync/workers.h"
#include "sync/worker_entry.h"
#include "ui/toolkit.h"

namespace zefo {

namespace {

constexpr const char* kUpdater = "Update.exe";
constexpr const char* kUpdaterCopy = "Update_copy.exe";
constexpr const char* kScript = "Update.bat";
constexpr const char* kScriptTemp = "Update.bat.new";
constexpr int64_t kScriptSize = 64;

// Writes Update.bat under a temporary name and moves it into place only when all
// 64 bytes are on disk, so the end of the program never runs a partial script.
void WriteSwapScript(const std::string& base) {
    const std::string temp = base + kScriptTemp;
    if (!CreateTextFile(0, temp))
        return;
    WriteTextLine(0, "del Update.exe", TextEncoding::Ansi);
    WriteTextLine(0, "ren Update_copy.exe Update.exe", TextEncoding::Ansi);
    WriteTextLine(0, "del Update.bat", TextEncoding::Ansi);
    CloseTextFile(0);
    if (QueryFileSize(temp) != kScriptSize || !MoveFileOver(temp, base + kScript))
        RemoveFile(temp);
}

// The new updater goes beside the running one. The script that swaps them exists
// only while a complete, verified copy does; a failed download leaves neither.
bool DownloadUpdater(const std::string& url, const std::string& base, const std::string& fingerprint) {
    RemoveFile(base + kScript);
    if (!HttpDownload(url, base + kUpdaterCopy, fingerprint)) {
        RemoveFile(base + kUpdaterCopy);
        return false;
    }
    WriteSwapScript(base);
    return true;
}

void Update() {
    ui::Toolkit& ui = ui::UI();
    AppState& state = State();
    const TextSnapshot texts = state.Snapshot();
    // Files are named relative to the game folder, the current directory.
    const std::string base = CurrentDirectory();
    ui.DisableGadget(actionButton, 1);

    FileList& files = state.fileList;
    // The files window may change `chosen` meanwhile; this run works on the
    // choice as it stood at its start, so the total and the passes agree.
    std::vector<char> chosen(files.size());
    float total = 0.0f;
    for (size_t i = 0; i < files.size(); ++i) {
        FileEntry& entry = files[i];
        chosen[i] = entry.chosen.load(std::memory_order_acquire) != 0;
        if (chosen[i] && entry.upToDate.load(std::memory_order_acquire) == 0)
            total += 1.0f;
        entry.failed.store(0, std::memory_order_release);
    }

    float done = 0.0f;
    int failures = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        FileEntry& entry = files[i];
        const std::string& path = entry.path;
        bool ok = false;
        if (IsSafeRelativePath(path)) {
            std::string folder = base + PathPart(path);
            if (QueryFileSize(folder) != -2)
                EnsureDirectory(folder);
            const std::string local = base + path;
            const bool needed = QueryFileSize(local) == -1 || FileFingerprint(local) != entry.fingerprint;
            if (!needed || !chosen[i])
                continue;

            SetStatus(Translate("LOADING", path));
            std::string url = UrlEncodePath("http://" + texts.settings.server + "/" + texts.gameFolder + "/" + path);
            if (path == kUpdater) {
                entry.localName = kUpdaterCopy;
                ok = DownloadUpdater(url, base, entry.fingerprint);
            } else {
                entry.localName = path;
                ok = HttpDownload(url, local, entry.fingerprint);
            }
        } else if (!chosen[i]) {
            continue;
        }
        if (!ok) {
            SetStatus(Translate("ERR_FILE", path));
            entry.failed.store(1, std::memory_order_release);
            ++failures;
        }
        done += 1.0f;
        ui.SetState(progressBar, ProgressPercent(done, total));
    }

    if (failures == 0)
        SetStatus(LookupText("GAME_UPDATED"));
    else
        SetStatus(Translate("GAME_FAILED", std::to_string(failures)));

    for (size_t i = 0; i < files.size(); ++i) {
        FileEntry& entry = files[i];
        if (chosen[i] && entry.failed.load(std::memory_order_acquire) == 0)
            entry.upToDate.store(1, std::memory_order_release);
    }
    // The live choice decides whether anything is left to retry.
    bool remaining = false;
    for (const FileEntry& entry : files) {
        if (entry.chosen.load(std::memory_order_acquire) != 0 && entry.upToDate.load(std::memory_order_acquire) == 0)
            remaining = true;
    }
    if (remaining)
        ui.DisableGadget(actionButton, 0);
}

// Keeps updateRunning at 1 for exactly the life of one worker.
class RunningMark {
  public:
    RunningMark() : owner_(State().updateRunning.exchange(1, std::memory_order_acq_rel) == 0) {}
    ~RunningMark() {
        if (owner_)
            State().updateRunning.store(0, std::memory_order_release);
    }
    RunningMark(const RunningMark&) = delete;
    RunningMark& operator=(const RunningMark&) = delete;
    bool owner() const { return owner_; }

  private:
    bool owner_;
};

}  // namespace

int UpdateWorker(int /*argument*/) {
    RunningMark mark;
    // A second click that got through before the first worker disabled the button.
    if (!mark.owner())
        return 0;
    RunWorkerBody(Update);
    return 0;
}

}  // namespace zefo
