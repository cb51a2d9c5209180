// The two list loaders: the engine's list requests with the window as observer.
#include <utility>

#include "app/app_state.h"
#include "app/window_observer.h"
#include "app/workers.h"
#include "net/lists.h"
#include "support/settings.h"

namespace zefo {

namespace {

ServerAccess Access(const Settings& settings) {
    ServerAccess access(settings.server, settings.pin);
    access.proxy = settings.proxy;
    return access;
}

}  // namespace

int GameListLoader(int /*argument*/) {
    // The server text may be replaced by the options window while this runs.
    const TextSnapshot snapshot = State().Snapshot();
    WindowObserver observer;
    LoadGameList(
        Access(snapshot.settings), observer,
        [](GameList&& games) {
            AppState& state = State();
            state.gameList = std::move(games);
            state.gamesLoaded.store(1, std::memory_order_release);
        },
        BuiltInTrust());
    return 0;
}

int FileListLoader(int /*argument*/) {
    const TextSnapshot snapshot = State().Snapshot();
    WindowObserver observer;
    bool loaded = false;
    std::vector<std::string> mirrors;
    LoadFileList(
        Access(snapshot.settings), snapshot.gameFolder, observer,
        [&loaded](FileList&& files, bool complete) {
            State().fileList = std::move(files);
            loaded = complete;
        },
        BuiltInTrust(), &mirrors);
    // Handed over only after the load's last status line, which the window shows
    // before the lines of the hand-off ("... file(s) found.").
    if (loaded) {
        {
            std::lock_guard guard(State().textLock);
            State().mirrors = std::move(mirrors);
        }
        State().filesLoaded.store(1, std::memory_order_release);
    }
    State().fileLoadsEnded.fetch_add(1, std::memory_order_release);
    return 0;
}

}  // namespace zefo
