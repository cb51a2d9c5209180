#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/status.h"
#include "net/lists.h"
#include "support/translations.h"
#include "sync/file_system.h"
#include "sync/http_download.h"
#include "sync/launch.h"
#include "sync/listed_file.h"
#include "sync/worker_entry.h"
#include "sync/workers.h"
#include "ui/toolkit.h"

namespace zefo {

namespace {

// Starts the file-list loader and waits for the end of that load. True when the
// list arrived; after a failure the loader has told the user already.
bool LoadFileList() {
    AppState& state = State();
    // Cleared before the start, or a flag left from an earlier load would hand
    // over a list that is still being replaced.
    state.filesLoaded.store(0, std::memory_order_release);
    const uint32_t endsBefore = state.fileLoadsEnded.load(std::memory_order_acquire);
    if (StartThread(FileListLoader, 1) == 0)
        return false;
    // The loader ends by itself (connect failure or its 10 s time-out), so the
    // wait needs no bound of its own.
    while (state.fileLoadsEnded.load(std::memory_order_acquire) == endsBefore)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return state.filesLoaded.load(std::memory_order_acquire) == 1;
}

void Install() {
    ui::Toolkit& ui = ui::UI();
    AppState& state = State();
    // The Install click set gameFolder and installFolder just before the start.
    const TextSnapshot texts = state.Snapshot();
    ui.DisableGadget(actionButton, 1);

    if (!LoadFileList()) {
        ui.DisableGadget(actionButton, 0);
        return;
    }

    // Every file goes below the chosen folder. When it cannot be made current,
    // nothing is written anywhere else: each file counts as failed.
    const bool inFolder = ChangeDirectory(texts.installFolder);
    const std::string base = inFolder ? CurrentDirectory() : std::string();

    ui.SetState(progressBar, 0);
    const FileList& files = state.fileList;
    const float total = static_cast<float>(files.size());
    float done = 0.0f;
    int failures = 0;

    for (const FileEntry& entry : files) {
        const std::string& path = entry.path;
        bool ok = false;
        SafeFolder folder;
        std::string name;
        if (inFolder && OpenListedFolder(base, path, folder, name)) {
            SetStatus(Translate("LOADING", path));
            std::string url = UrlEncodePath("http://" + texts.settings.server + "/" + texts.gameFolder + "/" + path);
            ok = HttpDownload(url, folder, name, entry.fingerprint);
        }
        if (!ok) {
            SetStatus(Translate("ERR_FILE", path));
            ++failures;
        }
        done += 1.0f;
        ui.SetState(progressBar, ProgressPercent(done, total));
    }

    if (failures == 0)
        SetStatus(LookupText("GAME_INSTALLED"));
    else
        SetStatus(Translate("GAME_INSTALL_FAILED", std::to_string(failures)));
    ui.DisableGadget(actionButton, 0);
}

}  // namespace

int InstallWorker(int /*argument*/) {
    RunWorkerBody(Install);
    return 0;
}

}  // namespace zefo
