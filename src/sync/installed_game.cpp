#include "sync/installed_game.h"

#include <memory>
#include <vector>

#include "sync/fingerprint_cache.h"
#include "sync/remembered_indexes.h"
#include "sync/text_file.h"

namespace zefo {

std::optional<InstalledGame> ReadInstalledGame(const std::string& folder) {
    std::optional<std::vector<std::string>> lines = ReadTextLines(folder + "data/game.dat", 2);
    if (!lines)
        return std::nullopt;
    return InstalledGame{(*lines)[0], (*lines)[1]};
}

RunResult InstallAndRemember(const GameSource& source,
                             const std::string& target,
                             const FileList& files,
                             Observer& observer) {
    // Filled before the game's name is known: the marker is one of the files.
    FingerprintCache written;
    const RunResult result = InstallGame(source, target, files, observer, &written);
    if (target.empty())
        return result;
    if (std::optional<InstalledGame> game = ReadInstalledGame(target)) {
        std::shared_ptr<FingerprintCache> cache = FingerprintCache::ForGame(game->name, target);
        cache->Merge(written);
        cache->Save();
        // The indexes the files came with, so that their first update needs no chunking.
        const RememberedIndexes indexes(cache->file());
        for (const auto& [md5, zci] : written.TakeHeldIndexes())
            indexes.Keep(zci, md5);
    }
    return result;
}

}  // namespace zefo
