#include "sync/game_files.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "base/safe_folder.h"
#include "support/translations.h"
#include "sync/download_run.h"
#include "sync/listed_file.h"
#include "sync/self_update.h"

namespace zefo {

namespace {

// Every file is fetched, whatever stands there.
class InstallDecider final : public Decider {
  public:
    Choice Decide(size_t, const SafeFolder&, const std::string&) override { return Choice::Download; }
    bool CountsWhenRefused(size_t) override { return true; }
};

// The chosen files that are missing or differ are fetched; the updater goes beside
// the running program. Done marks the entries that failed.
class UpdateDecider final : public Decider {
  public:
    UpdateDecider(FileList& files, const std::vector<char>& chosen, const std::string& updater, FingerprintCache* cache)
        : files_(files), chosen_(chosen), updater_(updater), cache_(cache) {}

    Choice Decide(size_t i, const SafeFolder& place, const std::string& name) override {
        FileEntry& entry = files_[i];
        if (!chosen_[i] || CompareInFolder(place, name, entry.fingerprint, cache_, entry.path) == LocalState::Same)
            return Choice::Skip;
        if (!updater_.empty() && entry.path == updater_) {
            entry.localName = ProgramCopyName();
            return Choice::DownloadUpdater;
        }
        entry.localName = entry.path;
        return Choice::Download;
    }
    bool CountsWhenRefused(size_t i) override { return chosen_[i] != 0; }
    void Done(size_t i, bool ok) override {
        if (!ok)
            files_[i].failed.store(1, std::memory_order_release);
    }

  private:
    FileList& files_;
    const std::vector<char>& chosen_;
    const std::string& updater_;
    FingerprintCache* cache_;
};

}  // namespace

bool FileLocation(const GameSource& source, const std::string& path, Location& location) {
    return LocateFile(source.access.server, source.access.pin, source.gameFolder, path, location);
}

std::vector<LocalState> CompareGame(const std::string& folder,
                                    FileList& files,
                                    FingerprintCache* cache,
                                    Observer& observer) {
    std::vector<LocalState> states;
    states.reserve(files.size());
    ListedFolders folders(folder, false);
    const float total = static_cast<float>(files.size());
    int shown = -1;
    for (size_t i = 0; i < files.size(); ++i) {
        FileEntry& entry = files[i];
        std::string name;
        bool missing = false;
        std::shared_ptr<const SafeFolder> place = folders.Open(entry.path, name, missing);
        states.push_back(place ? CompareInFolder(*place, name, entry.fingerprint, cache, entry.path)
                               : (missing ? LocalState::Missing : LocalState::Refused));
        if (states.back() == LocalState::Same)
            entry.upToDate.store(1, std::memory_order_release);
        const int percent = ProgressPercent(static_cast<float>(i + 1), total);
        if (percent != shown)
            observer.Progress(shown = percent);
    }
    if (cache)
        cache->Save();
    return states;
}

RunResult InstallGame(const GameSource& source,
                      const std::string& target,
                      const FileList& files,
                      Observer& observer,
                      FingerprintCache* cache) {
    observer.Progress(0);
    InstallDecider decider;
    RunResult result =
        DownloadRun(source, files, observer, cache, static_cast<float>(files.size())).Run(target, decider);
    if (cache)
        cache->Save();
    if (result.stopped)
        return result;
    if (result.failed == 0)
        observer.Status(LookupText("GAME_INSTALLED"));
    else
        observer.Status(Translate("GAME_INSTALL_FAILED", std::to_string(result.failed)));
    return result;
}

RunResult UpdateGame(const GameSource& source,
                     const std::string& folder,
                     FileList& files,
                     const std::string& updater,
                     Observer& observer,
                     FingerprintCache* cache) {
    // The choice may change meanwhile (the files window); this run works on the choice
    // as it stood at its start, so the total and the passes agree.
    std::vector<char> chosen(files.size());
    float total = 0.0f;
    for (size_t i = 0; i < files.size(); ++i) {
        FileEntry& entry = files[i];
        chosen[i] = entry.chosen.load(std::memory_order_acquire) != 0;
        if (chosen[i] && entry.upToDate.load(std::memory_order_acquire) == 0)
            total += 1.0f;
        entry.failed.store(0, std::memory_order_release);
    }
    UpdateDecider decider(files, chosen, updater, cache);
    RunResult result = DownloadRun(source, files, observer, cache, total).Run(folder, decider);
    if (cache)
        cache->Save();
    if (result.stopped)
        return result;

    if (result.failed == 0)
        observer.Status(LookupText("GAME_UPDATED"));
    else
        observer.Status(Translate("GAME_FAILED", std::to_string(result.failed)));
    for (size_t i = 0; i < files.size(); ++i) {
        FileEntry& entry = files[i];
        if (chosen[i] && entry.failed.load(std::memory_order_acquire) == 0)
            entry.upToDate.store(1, std::memory_order_release);
    }
    // The live choice decides whether anything is left to retry.
    for (const FileEntry& entry : files) {
        if (entry.chosen.load(std::memory_order_acquire) != 0 && entry.upToDate.load(std::memory_order_acquire) == 0)
            result.remaining = true;
    }
    return result;
}

int ProgressPercent(float done, float total) {
    if (!(total > 0.0f))
        return 100;
    float percent = std::nearbyint(done / total * 100.0f);
    return static_cast<int>(std::clamp(percent, 0.0f, 100.0f));
}

}  // namespace zefo
