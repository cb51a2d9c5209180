#include "net/lists.h"

#include <utility>

#include "app/app_state.h"
#include "app/status.h"
#include "net/server_request.h"
#include "net/text_ops.h"
#include "support/translations.h"

namespace zefo {

int GameListLoader(int /*argument*/) {
    // The server text may be replaced by the options window while this runs.
    const TextSnapshot snapshot = State().Snapshot();
    ServerRequest(snapshot.settings.server, "/", [](const std::string& block) {
        GameList games;
        ForEachRecord(block, [&games](std::string_view name, std::string_view folder) {
            games.push_back(GameEntry{std::string(folder), std::string(name)});
        });
        AppState& state = State();
        state.gameList = std::move(games);
        state.gamesLoaded.store(1, std::memory_order_release);
        SetStatus(LookupText("GAMES_LOADED"));
    });
    return 0;
}

int FileListLoader(int /*argument*/) {
    const TextSnapshot snapshot = State().Snapshot();
    ServerRequest(snapshot.settings.server, "/" + snapshot.gameFolder + "/", [](const std::string& block) {
        AppState& state = State();
        state.fileList.clear();
        // The error test looks at the whole block split at ":", ignoring "|".
        if (TextField(block, 1, ":") == "error") {
            SetStatus(LookupText(TextField(block, 2, ":")));
            return;
        }
        FileList files;
        ForEachRecord(block, [&files](std::string_view path, std::string_view fingerprint) {
            files.emplace_back(std::string(path), std::string(fingerprint));
        });
        state.fileList = std::move(files);
        state.filesLoaded.store(1, std::memory_order_release);
        SetStatus(LookupText("FILES_LOADED"));
    });
    State().fileLoadsEnded.fetch_add(1, std::memory_order_release);
    return 0;
}

}  // namespace zefo
