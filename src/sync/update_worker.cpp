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
#include "sync/listed_file.h"
#include "sync/worker_entry.h"
#include "sync/workers.h"
#include "ui/toolkit.h"

namespace zefo {

namespace {

constexpr const char* kUpdater = "Update.exe";
constexpr const char* kUpdaterCopy = "Update_copy.exe";
constexpr const char* kScript = "Update.bat";
constexpr const char* kScriptTemp = "Update.bat.new";

void NoteSwapScript(const std::string& folder) {
    AppState& state = State();
    std::lock_guard guard(state.textLock);
    state.swapScriptFolder = folder;
}

// The new updater goes beside the running one. The script that swaps them exists only
// while a complete, verified copy does, and is written whole or not at all; without it
// the copy is of no use and goes too, and the file counts as failed.
bool DownloadUpdater(const std::string& url, const SafeFolder& folder, const std::string& fingerprint) {
    NoteSwapScript({});
    if (!folder.Remove(kScript))
        return false;
    if (!HttpDownload(url, folder, kUpdaterCopy, fingerprint)) {
        folder.Remove(kUpdaterCopy);
        return false;
    }
    if (!ReplaceFileWith(folder, kScript, kSwapScript, kScriptTemp)) {
        folder.Remove(kUpdaterCopy);
        return false;
    }
    NoteSwapScript(folder.path());
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
        // Folders are made for every listed file; a path that could leave the game
        // folder, or whose way holds a link, is neither read nor written.
        SafeFolder folder;
        std::string name;
        if (OpenListedFolder(base, path, folder, name)) {
            if (CompareInFolder(folder, name, entry.fingerprint) == LocalState::Same || !chosen[i])
                continue;

            SetStatus(Translate("LOADING", path));
            std::string url = UrlEncodePath("http://" + texts.settings.server + "/" + texts.gameFolder + "/" + path);
            if (path == kUpdater) {
                entry.localName = kUpdaterCopy;
                ok = DownloadUpdater(url, folder, entry.fingerprint);
            } else {
                entry.localName = path;
                ok = HttpDownload(url, folder, name, entry.fingerprint);
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
