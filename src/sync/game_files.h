// Installing a game and bringing it up to date: the download of a game's listed files
// into a folder by a DownloadRun (download_run.h), each through the protections of
// listed_file.h and DownloadFile (refused paths, verified downloads, the old file kept
// on failure).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "net/address.h"
#include "net/lists.h"
#include "net/network_options.h"
#include "net/observer.h"
#include "sync/fingerprint_cache.h"
#include "sync/listed_file.h"

namespace zefo {

// Where a game's files come from.
struct GameSource {
    ServerAccess access;     // the server text ("host[:port]", "http://..." or "https://...") and its pin
    std::string gameFolder;  // the game's folder on the server
    // Every file must carry its signed SHA-256 (a program built with a publisher key);
    // an entry without one fails.
    bool signedFiles = false;
    // Downloads at once, each over a connection of its own (1 to kMaxConnections).
    int connections = 1;
    // The proxy, speed limit and mirrors every download of the run goes by.
    NetworkOptions network{};
};

inline constexpr int kMaxConnections = 32;

// What became of the self-update (self_update.h) in a run.
enum class SwapScript {
    Untouched,  // the updater needed no download
    Written,    // readied beside a verified copy (on Windows: Update.bat written)
    Gone,       // the updater's download failed: nothing readied, no copy
};

struct RunResult {
    int failed = 0;        // files that could not be loaded
    bool stopped = false;  // the observer asked to stop; later files were not looked at
    SwapScript swapScript = SwapScript::Untouched;
    bool remaining = false;  // a chosen file is still not up to date
};

// Where a listed path is on the source's server (address.h, LocateFile): false when
// the server text or the path cannot make a request.
bool FileLocation(const GameSource& source, const std::string& path, Location& location);

// The updater's check: compares every listed file below `folder` with its fingerprint
// (through the cache when given), marks the entries found up to date and reports the
// share of files checked as progress. Gives each entry's state, in list order.
std::vector<LocalState> CompareGame(const std::string& folder,
                                    FileList& files,
                                    FingerprintCache* cache,
                                    Observer& observer);

// Downloads every listed file into `target` (an existing folder, ending in a
// separator; empty when it could not be entered, which fails every file), replacing
// what stands there. Each file is checked by its fingerprint and, when the entry
// carries one, its SHA-256. Reports "LOADING" and "ERR_FILE" per file and the progress from
// 0, then "GAME_INSTALLED" or "GAME_INSTALL_FAILED".
// A cache, when given, remembers the verified fingerprint of every file written.
RunResult InstallGame(const GameSource& source,
                      const std::string& target,
                      const FileList& files,
                      Observer& observer,
                      FingerprintCache* cache = nullptr);

// Brings the game in `folder` up to date: every entry chosen at the start (the choice
// may change meanwhile) whose file is missing or differs is downloaded; folders are
// made for every listed file. Sets localName, upToDate and failed in the entries.
// When `updater` names the running program's own file (ProgramFileName()), that entry
// goes beside it as ProgramCopyName() and the swap at the end is readied (self_update.h).
// Reports "LOADING" and "ERR_FILE" per file and the progress of the files counted as
// outdated, then "GAME_UPDATED" or "GAME_FAILED".
// A cache, when given, spares reading files whose stamp it knows and remembers every
// verified download.
RunResult UpdateGame(const GameSource& source,
                     const std::string& folder,
                     FileList& files,
                     const std::string& updater,
                     Observer& observer,
                     FingerprintCache* cache = nullptr);

// done / total as a whole percentage, halves to even, within 0..100; 100 when total is 0.
int ProgressPercent(float done, float total);

}  // namespace zefo
