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
#include "sync/launch.h"
#include "sync/listed_file.h"
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

// Runs in the first loop pass that sees filesLoaded: the list is complete and
// the loader no longer touches it.
void UpdaterHandOff() {
    AppState& state = State();
    ui::Toolkit& ui = ui::UI();
    SetStatus(Translate("FILES_NUM", std::to_string(state.fileList.size())));
    state.updateCount = 0;
    if (state.fileList.empty()) {
        ui.DisableGadget(actionButton, 1);
    } else {
        const std::string base = CurrentDirectory();
        for (FileEntry& entry : state.fileList) {
            // A path that could leave the game folder, or whose way holds a link, is
            // never read; it counts as to be updated and the worker refuses it.
            if (CompareListedFile(base, entry.path, entry.fingerprint) == LocalState::Same)
                entry.upToDate.store(1);
            else
                ++state.updateCount;
        }
        bool canUpdate = state.updateCount > 0 && !state.updateRunning.load();
        ui.DisableGadget(actionButton, canUpdate ? 0 : 1);
        SetStatus(Translate("FILES_NUM_NEW", std::to_string(state.updateCount)));
    }
    ui.DisableGadget(filesButton, 0);
    state.filesLoaded.store(0, std::memory_order_release);
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
