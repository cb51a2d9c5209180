#include "sync/game_files.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "base/file_system.h"
#include "base/safe_folder.h"
#include "net/stream.h"
#include "support/translations.h"
#include "sync/http_download.h"
#include "sync/listed_file.h"
#include "sync/self_update.h"

namespace zefo {

namespace {

bool IsFingerprint(const std::string& text) {
    return text.size() == 32 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

std::string Lowered(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return text;
}

// What the loop does with one listed file whose folder is open.
enum class Choice { Skip, Download, DownloadUpdater };

struct LoopSetup {
    // Asked for every entry whose folder could be opened.
    std::function<Choice(size_t index, const SafeFolder& folder, const std::string& name)> decide;
    // Whether an entry whose path or folder is refused counts (as a failed file).
    std::function<bool(size_t index)> countsWhenRefused;
    // Told of every counted entry's outcome.
    std::function<void(size_t index, bool ok)> done;
    FingerprintCache* cache = nullptr;
    float total = 0.0f;
};

// The new updater goes beside the running one. The swap is ready only while a
// complete, verified copy exists; a copy whose swap cannot be readied is of no use and
// goes too, and the file counts as failed.
bool DownloadUpdater(const std::string& url,
                     const SafeFolder& folder,
                     const DownloadChecks& checks,
                     Observer& observer) {
    if (!WithdrawSwap(folder))
        return false;
    if (!HttpDownload(url, folder, ProgramCopyName(), checks, &observer) || !ReadySwap(folder)) {
        folder.Remove(ProgramCopyName());
        return false;
    }
    return true;
}

// The one download loop of installing and updating: in list order, each listed file's
// folder is opened below `base` (missing levels made), the setup decides, and a file to
// load is reported, downloaded, and reported again when it failed; the progress counts
// the files dealt with.
RunResult DownloadLoop(const GameSource& source,
                       const std::string& base,
                       const FileList& files,
                       const LoopSetup& setup,
                       Observer& observer) {
    RunResult result;
    float done = 0.0f;
    for (size_t i = 0; i < files.size(); ++i) {
        if (observer.StopRequested()) {
            result.stopped = true;
            break;
        }
        const FileEntry& entry = files[i];
        SafeFolder folder;
        std::string name;
        bool ok = false;
        if (!base.empty() && OpenListedFolder(base, entry.path, folder, name)) {
            const Choice choice = setup.decide(i, folder, name);
            if (choice == Choice::Skip)
                continue;
            observer.Status(Translate("LOADING", entry.path));
            const std::string url = FileUrl(source, entry.path);
            const DownloadChecks checks{entry.fingerprint, entry.sha256, source.access.pin};
            if (source.signedFiles && entry.sha256.empty()) {
                ok = false;  // nothing the publisher signed vouches for this file
            } else if (choice == Choice::DownloadUpdater) {
                ok = DownloadUpdater(url, folder, checks, observer);
            } else {
                ok = HttpDownload(url, folder, name, checks, &observer);
                // The program's own file, installed with the game, must run there.
                if (ok && entry.path == ProgramFileName())
                    ok = MakeProgramRunnable(folder, name);
                // A download checked against a fingerprint has exactly these bytes.
                if (ok && setup.cache && IsFingerprint(entry.fingerprint))
                    setup.cache->Remember(folder, name, entry.path, Lowered(entry.fingerprint));
            }
            if (choice == Choice::DownloadUpdater)
                result.swapScript = ok ? SwapScript::Written : SwapScript::Gone;
        } else if (!setup.countsWhenRefused(i)) {
            continue;
        }
        if (!ok) {
            observer.Status(Translate("ERR_FILE", entry.path));
            ++result.failed;
        }
        setup.done(i, ok);
        observer.FileDone(entry.path, ok);
        done += 1.0f;
        observer.Progress(ProgressPercent(done, setup.total));
    }
    return result;
}

}  // namespace

std::string FileUrl(const GameSource& source, const std::string& path) {
    return UrlEncodePath(ServerUrlBase(source.access.server) + "/" + source.gameFolder + "/" + path);
}

std::vector<LocalState> CompareGame(const std::string& folder,
                                    FileList& files,
                                    FingerprintCache* cache,
                                    Observer& observer) {
    std::vector<LocalState> states;
    states.reserve(files.size());
    const float total = static_cast<float>(files.size());
    int shown = -1;
    for (size_t i = 0; i < files.size(); ++i) {
        FileEntry& entry = files[i];
        states.push_back(CompareListedFile(folder, entry.path, entry.fingerprint, cache));
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
    LoopSetup setup;
    setup.cache = cache;
    setup.decide = [](size_t, const SafeFolder&, const std::string&) { return Choice::Download; };
    setup.countsWhenRefused = [](size_t) { return true; };
    setup.done = [](size_t, bool) {};
    setup.total = static_cast<float>(files.size());
    RunResult result = DownloadLoop(source, target, files, setup, observer);
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
    LoopSetup setup;
    setup.cache = cache;
    for (size_t i = 0; i < files.size(); ++i) {
        FileEntry& entry = files[i];
        chosen[i] = entry.chosen.load(std::memory_order_acquire) != 0;
        if (chosen[i] && entry.upToDate.load(std::memory_order_acquire) == 0)
            setup.total += 1.0f;
        entry.failed.store(0, std::memory_order_release);
    }
    setup.decide = [&](size_t i, const SafeFolder& place, const std::string& name) {
        FileEntry& entry = files[i];
        if (!chosen[i] || CompareInFolder(place, name, entry.fingerprint, cache, entry.path) == LocalState::Same)
            return Choice::Skip;
        if (!updater.empty() && entry.path == updater) {
            entry.localName = ProgramCopyName();
            return Choice::DownloadUpdater;
        }
        entry.localName = entry.path;
        return Choice::Download;
    };
    setup.countsWhenRefused = [&](size_t i) { return chosen[i] != 0; };
    setup.done = [&](size_t i, bool ok) {
        if (!ok)
            files[i].failed.store(1, std::memory_order_release);
    };
    RunResult result = DownloadLoop(source, folder, files, setup, observer);
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
