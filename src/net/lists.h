// The server's two lists: which games it offers and which files make up one game.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/observer.h"
#include "net/server_request.h"

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
    std::string sha256;       // the publisher's signed SHA-256 (64 lowercase hex digits) in a signed list, else empty
    int64_t size = -1;        // the publisher's signed size in bytes (a list of format 2), else -1
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
    ErrorReply,   // the server refused: the text of the key it named reported as a status line; or,
                  // with a publisher key, the list was not signed as it must be: "ERR_SIGNATURE"
    Refused,      // a list the program does not take: "ERR_LIST" reported as a status line
};

// What the program demands of lists. With a publisher key every list must carry the
// publisher's signature for its own target ("/" or "/FOLDER/"), must not have expired
// by the wall clock, and must not be older than the newest version accepted before
// for that target (kept in `versionsFile` or `floorFiles`); each file entry then
// carries its signed SHA-256. Without a key lists are taken as they come.
struct ListTrust {
    std::string publisherKey;               // 65 bytes (0x04, X, Y), or empty
    std::string versionsFile;               // a settings file for the accepted versions; empty keeps none
    std::vector<std::string> floorFiles{};  // versions kept elsewhere, read as a floor and never written
};

// The games of a game list block, in order, without those whose folder holds control
// characters. False, with `games` empty, when the block holds more records than any
// list may.
bool ParseGameBlock(std::string_view block, GameList& games);

// Whether a file list block is the server's error reply ("error:KEY"); `errorKey` gets KEY.
bool FileBlockError(std::string_view block, std::string& errorKey);

enum class FileBlockResult {
    Files,           // `files` holds the listed files
    ErrorReply,      // the server refused; `errorKey` names the text to show
    TooManyRecords,  // more records than any list may
    NotAsSigned,     // other records than the signed digests speak of
};
// The files of a file list block, in order, without records that have no path. With
// `digests` (the signed SHA-256 of every record, in order) each file gets its record's
// digest, and with `sizes` (empty, or the signed size of every record) its size.
// `files` is empty unless the result is Files.
FileBlockResult ParseFileBlock(std::string_view block,
                               FileList& files,
                               std::string& errorKey,
                               const std::vector<std::string>* digests = nullptr,
                               const std::vector<int64_t>* sizes = nullptr);

// The key this program was built with (ZEFO_PUBLISHER_KEY) as 65 bytes, or empty.
// Only the front ends read it, and only from here: never from a settings file.
std::string BuiltInPublisherKey();
// The trust of lists signed with `publisherKey`, held to the accepted versions this
// program keeps: one store for every list, both front ends and both modes, so that
// what an install accepted binds the game's later updates (see ListVersionsFiles).
ListTrust KeptVersionsTrust(const std::string& publisherKey);
// The trust of lists in this program as built: KeptVersionsTrust with the built-in key.
// Without a key nothing is kept, and no folder is made for it.
ListTrust BuiltInTrust();

// Asks the server for its games. A loaded list goes to `store` before its status line;
// games whose folder holds control characters are left out. A list refused for its
// signature is not stored; "ERR_SIGNATURE" with the reason is reported.
ListResult LoadGameList(const ServerAccess& access,
                        Observer& observer,
                        const std::function<void(GameList&&)>& store,
                        const ListTrust& trust = {});

// Asks the server for the file list of `gameFolder`. `store` gets the loaded list
// (complete) before its status line; after an error reply, a refused list or one
// refused for its signature it gets an empty one (not complete), and after a failed
// request nothing. Records without a path are left out. The server's error replies
// ("error:KEY") are taken unsigned: they carry no files. `mirrors`, when given, gets
// the mirrors of a loaded list before `store` is called (net/mirrors.h: with a
// publisher key only the signed ones), and none otherwise.
ListResult LoadFileList(const ServerAccess& access,
                        const std::string& gameFolder,
                        Observer& observer,
                        const std::function<void(FileList&& files, bool complete)>& store,
                        const ListTrust& trust = {},
                        std::vector<std::string>* mirrors = nullptr);

}  // namespace zefo
