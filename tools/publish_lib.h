// Publisher side of the update protocol: the name rules, the list texts, the
// publishing of a source tree into a static web root, and the small file server
// used for local runs. Native (POSIX) only. Nothing here throws.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace zefo::tools {

class SigningKey;

// ---- Names

// Empty when `name` may be one component (file or folder name) of a published
// path, otherwise the reason why the client or Windows could not use it.
std::string CheckNameComponent(const std::string& name);
// Empty when `path` (relative, "/" between components) may be listed as a file.
std::string CheckListedPath(const std::string& path);
// Empty when `name` may be a game's display name.
std::string CheckDisplayName(const std::string& name);

// ---- List texts

struct ListedFile {
    std::string path;  // relative to the game folder, "/" separators
    std::string md5;   // 32 lowercase hexadecimal digits
};

struct ListedGame {
    std::string name;    // display name
    std::string folder;  // folder below the web root
};

// "[data]" + "path:md5" records joined by "|" + "[/data]".
std::string FileListText(const std::vector<ListedFile>& files);
// "[data]" + "name:folder" records joined by "|" + "[/data]".
std::string GameListText(const std::vector<ListedGame>& games);
// The installed-game marker data/game.dat: name and folder, each line ended by CR LF.
std::string GameDatText(const std::string& name, const std::string& folder);

// ---- Publishing

struct PublishOptions {
    std::string source;                        // one sub-folder per game
    std::string root;                          // the web root to write
    bool hardLink = false;                     // link files instead of copying them
    bool checkOnly = false;                    // validate, write nothing
    std::map<std::string, std::string> names;  // game folder -> display name (overrides game.txt)
    const SigningKey* signer = nullptr;        // when set, every list carries its signature block
    int expiresDays = 30;                      // how long a signed list is accepted
};

struct PublishResult {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::vector<std::string> notes;
    std::vector<ListedGame> games;  // in game-list order
    int filesWritten = 0;
    int filesUnchanged = 0;
    int filesRemoved = 0;
    bool ok() const { return errors.empty(); }
};

// Validates the whole source first; writes nothing when anything is refused.
// Then brings <root>/<folder>/ of every game in line with its source, writes
// each game's file list as <root>/<folder>/index.html and the game list as
// <root>/index.html, each list replaced atomically. With a signer each list
// is signed: version = publish time in seconds, above that of the signed list
// it replaces; target "/" or "/FOLDER/"; the SHA-256 of every listed file.
PublishResult Publish(const PublishOptions& options);

// Writes `bytes` to a temporary file beside `path` and renames it over `path`.
// Empty on success, otherwise the reason.
std::string WriteFileAtomically(const std::string& path, const std::string& bytes);

// ---- Static file server

struct RequestLine {
    std::string method;
    std::string target;  // may hold blanks: everything between the first and the last blank
    std::string version;
};

// Splits the first line of a request (without its line end); false when malformed.
bool ParseRequestLine(const std::string& line, RequestLine& out);
// Decodes %XX escapes; false on a broken escape or a decoded zero byte.
bool PercentDecode(const std::string& text, std::string& out);

// What a request target maps to below `root` (a canonical absolute folder).
struct Resolved {
    int status = 404;            // 200, 400, 403 or 404
    std::string file;            // the file to send when status is 200
    bool folderRequest = false;  // the target named a folder (ended in "/")
};
Resolved ResolveTarget(const std::string& root, const std::string& target);

struct ServeOptions {
    std::string root;
    std::string bind = "127.0.0.1";
    uint16_t port = 0;    // 0: any free port (the first output line names it)
    int maxClients = 64;  // further connections are closed at once
    int timeoutSeconds = 10;
};

// Listens and serves until the process ends; one line per request on `log`.
// Returns non-zero (with a message on `log`) when it cannot start.
int RunServer(const ServeOptions& options, std::ostream& log);

}  // namespace zefo::tools
