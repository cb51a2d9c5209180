// Updater mode's main window: loads the game's file list, compares every listed
// file with the local copy and starts the update.
#include "app/app_state.h"
#include "app/ids.h"
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

void BuildUpdaterWindow() {
    ui::Toolkit& ui = ui::UI();
    ui.ButtonGadget(actionButton, 4, 300, 128, 20, Translate("BUTTON_UPDATE"));
    ui.ButtonGadget(filesButton, 136, 300, 128, 20, Translate("BUTTON_FILES"));
    ui.ButtonGadget(optionsButton, 268, 300, 128, 20, Translate("BUTTON_OPTIONS"));
    ui.TextListGadget(statusList, 5, 5, 390, 265);
    ui.ProgressBarGadget(progressBar, 5, 275, 390, 20, 0, 100);
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
