// The server's two lists: which games it offers and which files make up one game.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/observer.h"

namespace zefo {

struct GameEntry {
    std::string folder;  // the game's folder on the server
    std::string name;    // display name
};
using GameList = std::vector<GameEntry>;

// One file of the game as the server lists it. The flags are read and written by
// the window's thread and the update at the same time.
struct FileEntry {
    std::string path;         // relative to the game folder, exactly as the server sends it
    std::string localName;    // where the update stores the download
    std::string fingerprint;  // the server's MD5 text
    std::atomic<int32_t> chosen{1};
    std::atomic<int32_t> upToDate{0};
    std::atomic<int32_t> failed{0};

    FileEntry() = default;
    FileEntry(std::string entryPath, std::string entryFingerprint);
    FileEntry(const FileEntry& other);
    FileEntry& operator=(const FileEntry& other);
};
using FileList = std::vector<FileEntry>;

enum class ListResult {
    Loaded,       // handed to the caller, "GAMES_LOADED" or "FILES_LOADED" reported
    Unreachable,  // no connection: "ERR_SERVER" reported as a message
    TimedOut,     // no complete reply in time: "ERR_TIMEOUT" reported as a message
    Stopped,      // the observer asked to stop
    ErrorReply,   // the server refused: the text of the key it named reported as a status line
    Refused,      // a list the program does not take: "ERR_LIST" reported as a status line
};

// The games of a game list block, in order, without those whose folder holds control
// characters. False, with `games` empty, when the block holds more records than any
// list may.
bool ParseGameBlock(std::string_view block, GameList& games);

enum class FileBlockResult {
    Files,           // `files` holds the listed files
    ErrorReply,      // the server refused; `errorKey` names the text to show
    TooManyRecords,  // more records than any list may
};
// The files of a file list block, in order, without records that have no path.
// `files` is empty unless the result is Files.
FileBlockResult ParseFileBlock(std::string_view block, FileList& files, std::string& errorKey);

// Asks `server` for its games. A loaded list goes to `store` before its status line;
// games whose folder holds control characters are left out.
ListResult LoadGameList(const std::string& server, Observer& observer, const std::function<void(GameList&&)>& store);

// Asks `server` for the file list of `gameFolder`. `store` gets the loaded list
// (complete) before its status line; after an error reply or a refused list it gets
// an empty one (not complete), and after a failed request nothing. Records without a
// path are left out.
ListResult LoadFileList(const std::string& server,
                        const std::string& gameFolder,
                        Observer& observer,
                        const std::function<void(FileList&& files, bool complete)>& store);

}  // namespace zefo
