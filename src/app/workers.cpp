// The install and update workers: the engine's installation and update with the window
// as observer, and the action button around them.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/window_observer.h"
#include "app/worker_entry.h"
#include "app/workers.h"
#include "base/file_system.h"
#include "sync/game_files.h"
#include "sync/installed_game.h"
#include "sync/launch.h"
#include "sync/self_update.h"
#include "ui/toolkit.h"

namespace zefo {

namespace {

GameSource Source(const TextSnapshot& texts) {
    ServerAccess access(texts.settings.server, texts.settings.pin);
    access.proxy = texts.settings.proxy;
    return GameSource{std::move(access), texts.gameFolder, !BuiltInPublisherKey().empty(), texts.settings.connections,
                      NetworkOptions{texts.settings.proxy, State().limiter, texts.mirrors}};
}

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

void Compare() {
    AppState& state = State();
    WindowObserver observer;
    std::vector<LocalState> states =
        CompareGame(CurrentDirectory(), state.fileList, state.fingerprints.get(), observer);
    state.updateCount =
        static_cast<int32_t>(states.size() - std::count(states.begin(), states.end(), LocalState::Same));
    state.filesCompared.store(1, std::memory_order_release);
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
    // Every file goes below the chosen folder, which becomes the current directory.
    // When it cannot be entered, nothing is written anywhere else: each file fails.
    const std::string target = ChangeDirectory(texts.installFolder) ? CurrentDirectory() : std::string();
    WindowObserver observer;
    GameSource source = Source(texts);
    // The mirrors came with the list loaded just now.
    source.network.mirrors = state.Snapshot().mirrors;
    InstallAndRemember(source, target, state.fileList, observer);
    ui.DisableGadget(actionButton, 0);
}

void NoteSwapScript(SwapScript script, const std::string& folder) {
    if (script == SwapScript::Untouched)
        return;
    AppState& state = State();
    std::lock_guard guard(state.textLock);
    state.swapScriptFolder = script == SwapScript::Written ? folder : std::string();
}

void Update() {
    ui::Toolkit& ui = ui::UI();
    AppState& state = State();
    const TextSnapshot texts = state.Snapshot();
    // Files are named relative to the game folder, the current directory.
    const std::string folder = CurrentDirectory();
    ui.DisableGadget(actionButton, 1);
    WindowObserver observer;
    RunResult result =
        UpdateGame(Source(texts), folder, state.fileList, ProgramFileName(), observer, state.fingerprints.get());
    NoteSwapScript(result.swapScript, folder);
    if (result.remaining)
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

int CompareWorker(int /*argument*/) {
    RunWorkerBody(Compare);
    return 0;
}

int InstallWorker(int /*argument*/) {
    RunWorkerBody(Install);
    return 0;
}

int UpdateWorker(int /*argument*/) {
    RunningMark mark;
    // A second click that got through before the first worker disabled the button.
    if (!mark.owner())
        return 0;
    RunWorkerBody(Update);
    return 0;
}

}  // namespace zefo
