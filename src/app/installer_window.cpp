// Installer mode's main window: offers the server's games and installs the
// chosen one into a folder the user picks.
#include "app/app_state.h"
#include "app/ids.h"
#include "app/layout.h"
#include "app/shell.h"
#include "app/status.h"
#include "app/workers.h"
#include "base/file_system.h"
#include "net/lists.h"
#include "support/translations.h"
#include "sync/launch.h"
#include "ui/toolkit.h"

namespace zefo {

void LayOutInstallerWindow() {
    ui::Toolkit& ui = ui::UI();
    layout::DropDown(ui, gameCombo, layout::kGameCombo);
    layout::Button(ui, actionButton, layout::kInstallButton, Translate("BUTTON_INSTALL"));
    layout::Button(ui, optionsButton, layout::kInstallerOptionsButton, Translate("BUTTON_OPTIONS"));
    layout::ProgressBar(ui, progressBar, layout::kProgressBar, 0, 100);
    layout::TextList(ui, statusList, layout::kInstallerStatusList);
}

void BuildInstallerWindow() {
    ui::Toolkit& ui = ui::UI();
    LayOutInstallerWindow();
    ui.AddItem(gameCombo, -1, Translate("LOADING_GAMES"));
    ui.DisableGadget(actionButton, 1);
    ui.DisableGadget(gameCombo, 1);
    ui.SetState(gameCombo, 0);
    SetStatus(Translate("INSTALL"));
    StartThread(GameListLoader, 1);
}

void InstallerHandOff() {
    AppState& state = State();
    ui::Toolkit& ui = ui::UI();
    ui.ClearItems(gameCombo);
    for (const GameEntry& game : state.gameList)
        ui.AddItem(gameCombo, -1, game.name);
    ui.SetState(gameCombo, 0);
    int disabled = state.gameList.empty() ? 1 : 0;
    ui.DisableGadget(actionButton, disabled);
    ui.DisableGadget(gameCombo, disabled);
    state.gamesLoaded.store(0, std::memory_order_release);
}

void InstallClick() {
    AppState& state = State();
    ui::Toolkit& ui = ui::UI();
    if (ui.GetState(gameCombo) == -1)
        return;
    std::string folder = ui.FolderRequester(Translate("INSTALL_TO"), CurrentDirectory());
    {
        std::lock_guard guard(state.textLock);
        state.installFolder = folder;
    }
    if (folder.empty())
        return;
    int index = ui.GetState(gameCombo);
    if (index < 0 || index >= static_cast<int>(state.gameList.size()))
        return;
    const GameEntry& game = state.gameList[static_cast<size_t>(index)];
    {
        std::lock_guard guard(state.textLock);
        state.gameFolder = game.folder;
    }
    SetStatus(Translate("GAME_INSTALLING", game.name));
    SetStatus(Translate("GAME_LOADING_FILES", game.name));
    // The worker disables the button too; doing it here keeps a second queued
    // click from starting a second installation before the worker runs.
    ui.DisableGadget(actionButton, 1);
    if (!StartThread(InstallWorker, 1))
        ui.DisableGadget(actionButton, 0);
}

}  // namespace zefo
