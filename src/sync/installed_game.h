// An installed game: its marker data/game.dat, which the front ends read to find the
// game and its settings, and an installation that remembers what it wrote under the
// name the marker gives.
#pragma once

#include <optional>
#include <string>

#include "net/lists.h"
#include "net/observer.h"
#include "sync/game_files.h"

namespace zefo {

// What data/game.dat says: its first line and its second.
struct InstalledGame {
    std::string name;    // the game's name, under which its settings and fingerprints are kept
    std::string folder;  // the game's folder on the server
};

// The marker of the game installed in `folder` (ending in a separator); nothing when
// there is none that can be read.
std::optional<InstalledGame> ReadInstalledGame(const std::string& folder);

// InstallGame, then the fingerprints of what it wrote remembered (FingerprintCache::ForGame)
// under the name in the game's marker as it was installed; nothing is remembered when
// `target` is empty or no marker arrived.
RunResult InstallAndRemember(const GameSource& source,
                             const std::string& target,
                             const FileList& files,
                             Observer& observer);

}  // namespace zefo
