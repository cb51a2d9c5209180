#include "app/shell.h"

#include <atomic>
#include <optional>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/layout.h"
#include "app/program_settings.h"
#include "app/workers.h"
#include "base/file_system.h"
#include "net/tcp_client.h"
#include "support/crash_report.h"
#include "support/settings.h"
#include "support/translations.h"
#include "sync/game_files.h"
#include "sync/installed_game.h"
#include "sync/launch.h"
#include "sync/self_update.h"
#include "ui/toolkit.h"

namespace zefo {

namespace {

std::atomic<bool> networkStarted{false};

void ShowStartupError(const char* key) {
    ui::UI().ShowMessage(LookupText("ERR"), LookupText(key), ui::kMessageWarning);
}

// Gadget events count only as clicks (type 0); the handlers are those of the
// window the gadget belongs to.
void DispatchGadget(int gadget, int type) {
    if (type != 0)
        return;
    AppState& state = State();
    switch (gadget) {
        case actionButton:
            if (state.updaterMode.load())
                UpdateClick();
            else
                InstallClick();
            break;
        case filesButton:
            if (state.updaterMode.load())
                OpenFilesWindow();
            break;
        case optionsButton:
            OpenOptionsWindow();
            break;
        case saveButton:
            SaveOptions();
            break;
        case cancelButton:
            CloseOptionsWindow();
            break;
        default:
            break;
    }
}

void DispatchClose(int window) {
    switch (window) {
        case mainWindow:
            State().quitRequested.store(1);
            break;
        case filesWindow:
            CloseFilesWindow();
            break;
        case optionsWindow:
            CloseOptionsWindow();
            break;
        default:
            break;
    }
}

// The crash report: a message box with no icon and one OK button.
void ShowCrashReport(const std::string& title, const std::string& text) {
    ui::UI().ShowMessage(title, text, ui::kMessagePlain);
}

// The last shutdown step after a fault, on the faulting thread: the windows go
// with the process, so only the network is handed back.
void ReleaseAfterFault() {
    if (networkStarted)
        NetworkShutdown();
}

}  // namespace

bool OpenMainWindow() {
    return layout::OpenWindow(ui::UI(), mainWindow, layout::kMainWindow, "Zefo Updater", layout::kMainWindowFlags) != 0;
}

bool StartUp() {
    AppState& state = State();
    state.languageList = BuiltInLanguages();

    if (std::optional<InstalledGame> game = ReadInstalledGame(CurrentDirectory())) {
        std::lock_guard guard(state.textLock);
        state.gameName = game->name;
        state.gameFolder = game->folder;
        state.updaterMode.store(1);
    }
    if (state.updaterMode.load())
        RemoveSwapLeftovers(CurrentDirectory());
    state.programPath = ProgramPath();

    LoadSettings("Updater");
    LoadGameSettings(state.gameName);
    LoadTranslations(state.settings.lang);

    if (!NetworkStartup()) {
        ShowStartupError("ERR_NETWORK");
        return false;
    }
    networkStarted = true;

    if (!OpenMainWindow()) {
        ShowStartupError("ERR_WINDOW");
        return false;
    }
    SetFinalShutdown(ReleaseAfterFault);
    SetReportPresenter(ShowCrashReport);
    InstallFaultHandler(CrashHandler);
    return true;
}

void EventLoopPass() {
    AppState& state = State();
    if (state.updaterMode.load()) {
        if (state.filesLoaded.load(std::memory_order_acquire) == 1)
            UpdaterHandOff();
        if (state.filesCompared.load(std::memory_order_acquire) == 1)
            UpdaterCompareHandOff();
    } else if (state.gamesLoaded.load(std::memory_order_acquire) == 1) {
        InstallerHandOff();
    }

    ui::Toolkit& ui = ui::UI();
    int event = ui.WaitEvent(10);
    if (event == ui::kEventGadget)
        DispatchGadget(ui.EventGadget(), ui.EventType());
    else if (event == ui::kEventClose)
        DispatchClose(ui.EventWindow());
}

void RunEventLoop() {
    AppState& state = State();
    while (!state.quitRequested.load() && !state.restartRequested.load())
        EventLoopPass();
}

void RunMode() {
    if (State().updaterMode.load()) {
        BuildUpdaterWindow();
    } else {
        ui::UI().SetWindowTitle(mainWindow, "Zefo Installer");
        BuildInstallerWindow();
    }
    RunEventLoop();
}

void Shutdown() {
    AppState& state = State();
    std::string scriptFolder;
    {
        std::lock_guard guard(state.textLock);
        scriptFolder = state.swapScriptFolder;
    }
    // Only a swap that this run's update readied, and only while it is as it was left.
    if (!scriptFolder.empty())
        CarryOutSwap(scriptFolder);
    SaveSettings("Updater");
    // The path taken at the start: the swap may have put a new program under it.
    if (state.restartRequested.load() == 1 && state.quitRequested.load() == 0)
        LaunchProgram(state.programPath);
}

void ReleaseResources() {
    ui::Toolkit& ui = ui::UI();
    ui.CloseWindow(filesWindow);
    ui.CloseWindow(optionsWindow);
    ui.CloseWindow(mainWindow);
    if (networkStarted) {
        NetworkShutdown();
        networkStarted = false;
    }
    RemoveFaultHandler();
}

int RunProgram() {
    if (StartUp()) {
        RunMode();
        Shutdown();
    }
    ReleaseResources();
    return 0;
}

}  // namespace zefo
