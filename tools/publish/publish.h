// zefo_publish's library: publishing a source tree into a static web root, with
// the list texts it writes. Native (POSIX) only. Nothing here throws.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "publish/publish_indexes.h"

namespace zefo::tools {

class SigningKey;

// ---- List texts

struct ListedFile {
    std::string path;  // relative to the game folder, "/" separators
    std::string md5;   // 32 lowercase hexadecimal digits
};

struct ListedGame {
    std::string name;    // display name
    std::string folder;  // folder below the web root
};

// The file list: "path:md5" records in a list reply (net/text_ops.h ListBlockText).
std::string FileListText(const std::vector<ListedFile>& files);
// The game list: "name:folder" records in a list reply.
std::string GameListText(const std::vector<ListedGame>& games);
// The installed-game marker data/game.dat: name and folder, each line ended by CR LF.
std::string GameDatText(const std::string& name, const std::string& folder);

// ---- Publishing

struct PublishOptions {
    std::string source;                           // one sub-folder per game
    std::string root;                             // the web root to write
    bool hardLink = false;                        // link files instead of copying them
    bool checkOnly = false;                       // validate, write nothing
    std::map<std::string, std::string> names;     // game folder -> display name (overrides game.txt)
    const SigningKey* signer = nullptr;           // when set, every list carries its signature block
    int expiresDays = 30;                         // how long a signed list is accepted
    int signedFormat = 2;                         // the signature block's format: 2, or 1 (no sizes) for older clients
    bool full = false;                            // read every file, whatever the fingerprint cache says
    std::string cache{};                          // the fingerprint cache's folder; empty: ROOT.zefo-cache beside ROOT
    int64_t indexMinSize = kDefaultIndexMinSize;  // files this large get chunk indexes in FOLDER/.zefo; -1: none
    // Web servers holding a copy of the root, named in every file list (net/mirrors.h):
    // each must be a usable mirror URL, at most kMaxMirrors of them.
    std::vector<std::string> mirrors{};
};

struct PublishResult {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::vector<std::string> notes;
    std::vector<ListedGame> games;  // in game-list order
    int filesWritten = 0;
    int filesUnchanged = 0;
    int filesRemoved = 0;
    int filesRead = 0;       // files read for their fingerprint: source files, and copies compared with them
    int filesFromCache = 0;  // source files whose fingerprints the cache gave
    int indexesWritten = 0;  // files whose chunk indexes were made
    int indexesKept = 0;     // files whose chunk indexes were there and sound
    int indexesRemoved = 0;  // index files no published file needs any more
    bool ok() const { return errors.empty(); }
};

// Validates the whole source first; writes nothing when anything is refused.
// Then brings <root>/<folder>/ of every game in line with its source, writes
// each game's file list as <root>/<folder>/index.html (after the line of the mirrors,
// when there are any, and with them in its signature block) and the game list as
// <root>/index.html, each list replaced atomically. With a signer each list
// is signed: version = publish time in seconds, above that of the signed list
// it replaces; target "/" or "/FOLDER/"; the SHA-256 and (format 2) the size of
// every listed file.
// Every file and list is written through base/safe_folder.h's FileReplacement.
// Fingerprints are kept per game in the cache folder between runs: a source file
// whose size, modification time and file-system identity are those of the last
// run is not read again (unless `full`), nor is a published copy whose stamp is
// the one this publisher left. The cache is advisory: a damaged or foreign one is
// dropped and made anew; failing to write it is a note, not an error.
// Every published file of at least `indexMinSize` bytes gets its chunk indexes in
// <root>/<folder>/.zefo (publish_indexes.h), written before the list; an index that
// is there and sound for the file's size and MD5 is kept as it is, and index files no
// published file needs are removed after the list.
PublishResult Publish(const PublishOptions& options);

}  // namespace zefo::tools
