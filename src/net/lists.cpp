#include "net/lists.h"

#include <utility>

#include "app/app_state.h"
#include "app/status.h"
#include "net/server_request.h"
#include "net/text_ops.h"
#include "support/translations.h"

namespace zefo {

namespace {

// A list is read into memory whole; beyond this many records it is no game's and is
// refused before anything is stored.
constexpr size_t kMaxRecords = 1'000'000;

void RefuseList() {
    SetStatus(LookupText("ERR_LIST"));
}

}  // namespace

int GameListLoader(int /*argument*/) {
    // The server text may be replaced by the options window while this runs.
    const TextSnapshot snapshot = State().Snapshot();
    ServerRequest(snapshot.settings.server, "/", [](const std::string& block) {
        const size_t records = CountRecords(block);
        if (records > kMaxRecords) {
            RefuseList();
            return;
        }
        GameList games;
        games.reserve(records);
        ForEachRecord(block, [&games](std::string_view name, std::string_view folder) {
            // A folder with control characters would become part of the file-list request.
            if (!HasControlCharacters(folder))
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
    // The folder comes from the game list or from files on disk; control characters in
    // it would end the request line and add lines of their own.
    if (HasControlCharacters(snapshot.gameFolder)) {
        RefuseList();
        State().fileLoadsEnded.fetch_add(1, std::memory_order_release);
        return 0;
    }
    ServerRequest(snapshot.settings.server, "/" + snapshot.gameFolder + "/", [](const std::string& block) {
        AppState& state = State();
        state.fileList.clear();
        // The error test looks at the whole block split at ":", ignoring "|".
        if (TextField(block, 1, ":") == "error") {
            SetStatus(LookupText(TextField(block, 2, ":")));
            return;
        }
        const size_t records = CountRecords(block);
        if (records > kMaxRecords) {
            RefuseList();
            return;
        }
        FileList files;
        files.reserve(records);
        ForEachRecord(block, [&files](std::string_view path, std::string_view fingerprint) {
            if (!path.empty())
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
