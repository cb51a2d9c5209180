#include "net/lists.h"

#include <utility>

#include "net/server_request.h"
#include "net/text_ops.h"
#include "support/translations.h"

namespace zefo {

namespace {

// A list is read into memory whole; beyond this many records it is no game's and is
// refused before anything is stored.
constexpr size_t kMaxRecords = 1'000'000;

ListResult FromRequest(RequestResult result) {
    switch (result) {
        case RequestResult::Unreachable:
            return ListResult::Unreachable;
        case RequestResult::TimedOut:
            return ListResult::TimedOut;
        case RequestResult::Stopped:
            return ListResult::Stopped;
        case RequestResult::Done:
            break;
    }
    return ListResult::Loaded;
}

ListResult Refuse(Observer& observer) {
    observer.Status(LookupText("ERR_LIST"));
    return ListResult::Refused;
}

}  // namespace

FileEntry::FileEntry(std::string entryPath, std::string entryFingerprint)
    : path(std::move(entryPath)), fingerprint(std::move(entryFingerprint)) {}

FileEntry::FileEntry(const FileEntry& other)
    : path(other.path),
      localName(other.localName),
      fingerprint(other.fingerprint),
      chosen(other.chosen.load()),
      upToDate(other.upToDate.load()),
      failed(other.failed.load()) {}

FileEntry& FileEntry::operator=(const FileEntry& other) {
    if (this != &other) {
        path = other.path;
        localName = other.localName;
        fingerprint = other.fingerprint;
        chosen.store(other.chosen.load());
        upToDate.store(other.upToDate.load());
        failed.store(other.failed.load());
    }
    return *this;
}

bool ParseGameBlock(std::string_view block, GameList& games) {
    games.clear();
    const size_t records = CountRecords(block);
    if (records > kMaxRecords)
        return false;
    games.reserve(records);
    ForEachRecord(block, [&games](std::string_view name, std::string_view folder) {
        // A folder with control characters would become part of the file-list request.
        if (!HasControlCharacters(folder))
            games.push_back(GameEntry{std::string(folder), std::string(name)});
    });
    return true;
}

FileBlockResult ParseFileBlock(std::string_view block, FileList& files, std::string& errorKey) {
    files.clear();
    // The error test looks at the whole block split at ":", ignoring "|".
    if (TextField(block, 1, ":") == "error") {
        errorKey = TextField(block, 2, ":");
        return FileBlockResult::ErrorReply;
    }
    const size_t records = CountRecords(block);
    if (records > kMaxRecords)
        return FileBlockResult::TooManyRecords;
    files.reserve(records);
    ForEachRecord(block, [&files](std::string_view path, std::string_view fingerprint) {
        if (!path.empty())
            files.emplace_back(std::string(path), std::string(fingerprint));
    });
    return FileBlockResult::Files;
}

ListResult LoadGameList(const std::string& server, Observer& observer, const std::function<void(GameList&&)>& store) {
    ListResult outcome = ListResult::Loaded;
    RequestResult request = ServerRequest(server, "/", observer, [&](const std::string& block) {
        GameList games;
        if (!ParseGameBlock(block, games)) {
            outcome = Refuse(observer);
            return;
        }
        store(std::move(games));
        observer.Status(LookupText("GAMES_LOADED"));
    });
    return request == RequestResult::Done ? outcome : FromRequest(request);
}

ListResult LoadFileList(const std::string& server,
                        const std::string& gameFolder,
                        Observer& observer,
                        const std::function<void(FileList&& files, bool complete)>& store) {
    // The folder comes from the game list or from files on disk; control characters in
    // it would end the request line and add lines of their own.
    if (HasControlCharacters(gameFolder))
        return Refuse(observer);
    ListResult outcome = ListResult::Loaded;
    RequestResult request = ServerRequest(server, "/" + gameFolder + "/", observer, [&](const std::string& block) {
        FileList files;
        std::string errorKey;
        switch (ParseFileBlock(block, files, errorKey)) {
            case FileBlockResult::ErrorReply:
                store({}, false);
                observer.Status(LookupText(errorKey));
                outcome = ListResult::ErrorReply;
                return;
            case FileBlockResult::TooManyRecords:
                store({}, false);
                outcome = Refuse(observer);
                return;
            case FileBlockResult::Files:
                break;
        }
        store(std::move(files), true);
        observer.Status(LookupText("FILES_LOADED"));
    });
    return request == RequestResult::Done ? outcome : FromRequest(request);
}

}  // namespace zefo
