// The process-wide state shared by the event loop and the workers.
//
// Hand-off rules: a loader fills its list completely and only then sets its flag
// (release); readers touch the list only after they saw the flag (acquire).
// Texts that the main thread may replace while workers run (the settings,
// gameFolder, installFolder) are written under `textLock`; a worker takes a
// copy of what it needs at its start with Snapshot().
#pragma once

#include <atomic>
#include <memory>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "net/lists.h"
#include "net/rate_limit.h"
#include "support/settings.h"
#include "sync/fingerprint_cache.h"

namespace zefo {

// Copies of the replaceable texts, taken under the lock.
struct TextSnapshot {
    Settings settings;
    std::string gameName;
    std::string gameFolder;
    std::string installFolder;
    std::vector<std::string> mirrors;
};

struct AppState {
    std::atomic<int32_t> updaterMode{0};

    mutable std::mutex textLock;  // guards the texts below
    std::string gameName;
    std::string gameFolder;
    std::string installFolder;
    Settings settings;
    // The mirrors of the game's files that the last loaded file list named.
    std::vector<std::string> mirrors;
    // The folder in which this run's update worker readied the self-update beside a
    // verified copy of the new program (self_update.h), or empty. The end of the
    // program carries out no other swap.
    std::string swapScriptFolder;

    // The program's own file as it was at the start (main thread only): the restart
    // after a change of language starts that file, even after a swap replaced it.
    std::string programPath;

    std::atomic<int32_t> filesLoaded{0};
    // Set by the worker that compares the loaded list with the files on disk once it
    // has marked the entries and counted updateCount; the event loop takes it over.
    std::atomic<int32_t> filesCompared{0};
    std::atomic<int32_t> gamesLoaded{0};
    // Counts every end of a file-list load, success or failure, so a worker
    // that waits for a load it started learns when it is over.
    std::atomic<uint32_t> fileLoadsEnded{0};
    std::atomic<int32_t> quitRequested{0};
    std::atomic<int32_t> restartRequested{0};
    // 1 while an update worker runs; keeps a second one from starting.
    std::atomic<int32_t> updateRunning{0};
    int32_t updateCount = 0;
    // The speed limit of every download; the options window changes its rate, and
    // downloads under way follow at once.
    std::shared_ptr<RateLimiter> limiter = std::make_shared<RateLimiter>();
    // The remembered fingerprints of the installed game (Updater mode).
    std::shared_ptr<FingerprintCache> fingerprints;
    int32_t updateAvailable = 0;

    FileList fileList;
    GameList gameList;
    std::vector<LanguageEntry> languageList;

    TextSnapshot Snapshot() const;
};

// The one instance of the program.
AppState& State();
// Replaces the instance with a fresh one (tests; no worker may be running).
void ResetState();

}  // namespace zefo
