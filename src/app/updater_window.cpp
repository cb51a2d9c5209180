// Updater mode's main window: loads the game's file list, compares every listed
// file with the local copy and starts the update.
#include "app/app_state.h"
#include "app/ids.h"
#include "app/layout.h"
#include "app/shell.h"
#include "app/status.h"
#include "app/workers.h"
#include "base/file_system.h"
#include "net/lists.h"
#include "support/translations.h"
#include "sync/fingerprint_cache.h"
#include "sync/launch.h"
#include "ui/toolkit.h"

namespace zefo {

void LayOutUpdaterWindow() {
    ui::Toolkit& ui = ui::UI();
    layout::Button(ui, actionButton, layout::kUpdateButton, Translate("BUTTON_UPDATE"));
    layout::Button(ui, filesButton, layout::kFilesButton, Translate("BUTTON_FILES"));
    layout::Button(ui, optionsButton, layout::kUpdaterOptionsButton, Translate("BUTTON_OPTIONS"));
    layout::TextList(ui, statusList, layout::kUpdaterStatusList);
    layout::ProgressBar(ui, progressBar, layout::kProgressBar, 0, 100);
}

void BuildUpdaterWindow() {
    ui::Toolkit& ui = ui::UI();
    LayOutUpdaterWindow();
    ui.DisableGadget(actionButton, 1);
    ui.DisableGadget(filesButton, 1);
    SetStatus(Translate("UPDATE"));
    SetStatus(Translate("GAME_LOADING_FILES", State().gameName));
    StartThread(FileListLoader, 1);
}

// Runs in the first loop pass that sees filesLoaded: the list is complete and the
// loader no longer touches it. The comparison with the files on disk runs on a worker
// of its own, so that the window stays responsive while a large game is read.
void UpdaterHandOff() {
    AppState& state = State();
    ui::Toolkit& ui = ui::UI();
    SetStatus(Translate("FILES_NUM", std::to_string(state.fileList.size())));
    state.updateCount = 0;
    state.filesLoaded.store(0, std::memory_order_release);
    if (state.fileList.empty()) {
        ui.DisableGadget(actionButton, 1);
        ui.DisableGadget(filesButton, 0);
        return;
    }
    if (!state.fingerprints)
        state.fingerprints = FingerprintCache::ForGame(state.Snapshot().gameName, CurrentDirectory());
    if (StartThread(CompareWorker, 1) == 0) {
        // No thread to spare: compare here, as a last resort.
        CompareWorker(1);
    }
}

// Runs in the first loop pass that sees filesCompared: every entry is marked and
// updateCount is final.
void UpdaterCompareHandOff() {
    AppState& state = State();
    ui::Toolkit& ui = ui::UI();
    ui.SetState(progressBar, 0);
    bool canUpdate = state.updateCount > 0 && !state.updateRunning.load();
    ui.DisableGadget(actionButton, canUpdate ? 0 : 1);
    SetStatus(Translate("FILES_NUM_NEW", std::to_string(state.updateCount)));
    ui.DisableGadget(filesButton, 0);
    state.filesCompared.store(0, std::memory_order_release);
}

void UpdateClick() {
    // One update at a time: the worker marks itself running and a second one
    // started meanwhile returns at once; a click while one runs starts nothing.
    if (State().updateRunning.load(std::memory_order_acquire))
        return;
    SetStatus(Translate("GAME_UPDATING"));
    StartThread(UpdateWorker, 1);
}

}  // namespace zefo
