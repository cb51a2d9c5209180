#include "sync/game_files.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/ascii.h"
#include "base/file_system.h"
#include "base/native_file.h"
#include "base/safe_folder.h"
#include "net/stream.h"
#include "support/translations.h"
#include "sync/http_client.h"
#include "sync/listed_file.h"
#include "sync/self_update.h"

namespace zefo {

namespace {

// What the loop does with one listed file whose folder is open.
enum class Choice {
    Skip,
    Download,
    DownloadUpdater,
    Listed,      // an earlier entry names the same file alike and loads it
    Contradict,  // an earlier entry names the same file with other digests: it fails
};

// Listed paths name the same file when they differ only in their separators or the
// letter case of ASCII letters: Windows takes them for one, and a list means the same
// to every client.
char FoldedPathChar(char c) {
    return c == '\\' ? '/' : LowerAscii(c);
}

int CompareFoldedPaths(const std::string& a, const std::string& b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const char x = FoldedPathChar(a[i]), y = FoldedPathChar(b[i]);
        if (x != y)
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

uint64_t FoldedPathHash(const std::string& path) {
    uint64_t hash = 14695981039346656037ull;
    for (char c : path)
        hash = (hash ^ static_cast<unsigned char>(FoldedPathChar(c))) * 1099511628211ull;
    return hash;
}

// Every entry that names the same file as an earlier one, with the first such entry:
// (later index, first index), by later index. The files of a list are sorted by a hash
// of their path (the paths themselves settle equal hashes), so a list of a million
// files costs one sort and no table of its paths.
std::vector<std::pair<size_t, size_t>> RepeatedListings(const FileList& files) {
    std::vector<std::pair<uint64_t, size_t>> keyed;
    keyed.reserve(files.size());
    for (size_t i = 0; i < files.size(); ++i)
        keyed.emplace_back(FoldedPathHash(files[i].path), i);
    std::sort(keyed.begin(), keyed.end(), [&files](const auto& a, const auto& b) {
        if (a.first != b.first)
            return a.first < b.first;
        const int order = CompareFoldedPaths(files[a.second].path, files[b.second].path);
        return order != 0 ? order < 0 : a.second < b.second;
    });
    std::vector<std::pair<size_t, size_t>> repeats;
    for (size_t at = 1, first = 0; at < keyed.size(); ++at) {
        if (keyed[at].first == keyed[first].first &&
            CompareFoldedPaths(files[keyed[at].second].path, files[keyed[first].second].path) == 0) {
            repeats.emplace_back(keyed[at].second, keyed[first].second);
        } else {
            first = at;
        }
    }
    std::sort(repeats.begin(), repeats.end());
    return repeats;
}

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
bool DownloadUpdater(HttpClient& client,
                     const std::string& url,
                     const SafeFolder& folder,
                     const DownloadChecks& checks,
                     Observer& observer,
                     const HttpClient::FileProgress& progress) {
    if (!WithdrawSwap(folder))
        return false;
    // The swap must never put a copy in place that a power loss could have damaged.
    DownloadChecks durable = checks;
    durable.durable = true;
    if (!client.Download(url, folder, ProgramCopyName(), durable, &observer, progress) || !ReadySwap(folder)) {
        folder.Remove(ProgramCopyName());
        return false;
    }
    return true;
}

// The share of the job done: finished files, and the finished share of the files in
// flight. Reported whenever the whole percentage changes, outside the lock the
// downloads share: a front end may take its time to show it (the window program waits
// for its window's thread), and the other downloads go on meanwhile.
class ProgressShare {
  public:
    ProgressShare(Observer& observer, float total) : observer_(observer), total_(total) {}

    void Advance(size_t id, int64_t held, int64_t size) {
        const double share = size > 0 ? std::min(1.0, static_cast<double>(held) / static_cast<double>(size)) : 0.0;
        bool changed = false;
        {
            std::lock_guard guard(lock_);
            double& known = inFlight_[id];
            inFlightSum_ += share - known;
            known = share;
            changed = Update();
        }
        if (changed)
            Report();
    }
    void Finish(size_t id) {
        bool changed = false;
        {
            std::lock_guard guard(lock_);
            auto found = inFlight_.find(id);
            if (found != inFlight_.end()) {
                inFlightSum_ -= found->second;
                inFlight_.erase(found);
            }
            done_ += 1.0;
            changed = Update();
        }
        if (changed)
            Report();
    }

  private:
    // True when the percentage changed (under lock_).
    bool Update() {
        const int percent = ProgressPercent(static_cast<float>(done_ + inFlightSum_), total_);
        if (percent == latest_)
            return false;
        latest_ = percent;
        return true;
    }
    // Shows the latest percentage. Reports go one at a time, each with the value as it
    // stands then, so that the last one shown is the last one reached.
    void Report() {
        std::lock_guard guard(reportLock_);
        int percent;
        {
            std::lock_guard inner(lock_);
            percent = latest_;
        }
        if (percent != shown_)
            observer_.Progress(shown_ = percent);
    }

    Observer& observer_;
    const float total_;
    std::mutex lock_;
    std::map<size_t, double> inFlight_;
    double inFlightSum_ = 0.0;
    double done_ = 0.0;
    int latest_ = -1;
    std::mutex reportLock_;  // taken before lock_, never inside it
    int shown_ = -1;         // guarded by reportLock_
};

// One listed file to deal with, in list order.
struct Job {
    size_t index = 0;
    Choice choice = Choice::Skip;  // Skip here: the path or the way to it was refused
    std::shared_ptr<const SafeFolder> folder;
    std::string name;
};

// The one download loop of installing and updating. In list order, each listed file's
// folder is opened below `base` (missing levels made) and the setup decides; the files
// to load go to `source.connections` downloads at once, each on a connection it keeps
// between its files. A file is reported when it starts ("LOADING"), again when it
// failed ("ERR_FILE"), and counts in the progress when it ends. With one connection
// everything happens in list order.
RunResult DownloadLoop(const GameSource& source,
                       const std::string& base,
                       const FileList& files,
                       const LoopSetup& setup,
                       Observer& observer) {
    const size_t workers = static_cast<size_t>(std::clamp(source.connections, 1, kMaxConnections));
    ProgressShare progress(observer, setup.total);
    // The files decided ahead of the downloads: at most `ahead` (each holds its folder
    // open). Once full, the deciding waits until half are taken, so that the threads
    // wake each other once per batch, not per file (under Wine every wake is a trip
    // through its server).
    const size_t ahead = std::max<size_t>(2 * workers, 8);
    std::mutex lock;
    std::condition_variable jobsReady;  // for idle downloads
    std::condition_variable roomMade;   // for the deciding loop
    std::deque<Job> queue;
    size_t idle = 0;
    bool deciderWaits = false;
    bool closed = false;
    std::atomic<int> failed{0};
    std::atomic<bool> stopped{false};
    std::atomic<int> swapScript{static_cast<int>(SwapScript::Untouched)};

    auto deal = [&](HttpClient& client, Job& job) {
        const FileEntry& entry = files[job.index];
        bool ok = false;
        if (job.choice == Choice::Listed) {
            ok = true;  // its outcome is the earlier entry's, counted there
        } else if (job.choice == Choice::Download || job.choice == Choice::DownloadUpdater) {
            observer.Status(Translate("LOADING", entry.path));
            const std::string url = FileUrl(source, entry.path);
            const DownloadChecks checks{entry.fingerprint, entry.sha256, source.access.pin, entry.size};
            auto advance = [&progress, &job](int64_t held, int64_t size) { progress.Advance(job.index, held, size); };
            if (source.signedFiles && entry.sha256.empty()) {
                ok = false;  // nothing the publisher signed vouches for this file
            } else if (job.choice == Choice::DownloadUpdater) {
                ok = DownloadUpdater(client, url, *job.folder, checks, observer, advance);
                swapScript.store(static_cast<int>(ok ? SwapScript::Written : SwapScript::Gone));
            } else {
                ok = client.Download(url, *job.folder, job.name, checks, &observer, advance);
                // The program's own file, installed with the game, must run there.
                if (ok && entry.path == ProgramFileName())
                    ok = MakeProgramRunnable(*job.folder, job.name);
                // A download checked against a fingerprint has exactly these bytes, once
                // they are on the disk.
                int64_t size = 0;
                if (ok && setup.cache && IsHexText(entry.fingerprint, 32) &&
                    job.folder->Kind(job.name, &size) == EntryKind::File && CommittedFileIsDurable(size))
                    setup.cache->Remember(*job.folder, job.name, entry.path, LowerAsciiText(entry.fingerprint));
            }
        }
        if (!ok) {
            observer.Status(Translate("ERR_FILE", entry.path));
            failed.fetch_add(1);
        }
        setup.done(job.index, ok);
        observer.FileDone(entry.path, ok);
        progress.Finish(job.index);
    };
    auto work = [&] {
        // Each download's connection, through source.network once the HTTP client
        // takes it: the proxy ChooseProxy gives its override for the server (asked
        // once per run), the shared limiter paid in its receive loop, the mirrors
        // as further places for a file.
        HttpClient client;
        for (;;) {
            Job job;
            {
                std::unique_lock guard(lock);
                ++idle;
                jobsReady.wait(guard, [&] { return !queue.empty() || closed; });
                --idle;
                if (queue.empty())
                    return;
                job = std::move(queue.front());
                queue.pop_front();
                if (deciderWaits && queue.size() <= ahead / 2)
                    roomMade.notify_one();
            }
            if (observer.StopRequested()) {
                stopped.store(true);
                continue;
            }
            deal(client, job);
        }
    };

    std::vector<std::thread> pool;
    ListedFolders folders(base, true);
    // A file listed twice is loaded once, by its first entry: two downloads of one name
    // would race for its temporary file, and a file cannot match two fingerprints.
    const std::vector<std::pair<size_t, size_t>> repeats = RepeatedListings(files);
    auto repeat = repeats.begin();
    std::vector<bool> loading(files.size());  // the entries given to the downloads
    for (size_t i = 0; i < files.size() && !stopped.load(); ++i) {
        if (observer.StopRequested()) {
            stopped.store(true);
            break;
        }
        // The first entry of the same file, when this one repeats it.
        const bool repeated = repeat != repeats.end() && repeat->first == i;
        const size_t earlier = repeated ? (repeat++)->second : i;
        Job job;
        job.index = i;
        bool missing = false;
        if (repeated && (!SameHexText(files[earlier].fingerprint, files[i].fingerprint) ||
                         !SameHexText(files[earlier].sha256, files[i].sha256))) {
            // Decided before the disk is looked at: the file may match this entry just
            // while the earlier one is being loaded over it.
            if (!setup.countsWhenRefused(i))
                continue;
            job.choice = Choice::Contradict;
        } else if (!base.empty() && (job.folder = folders.Open(files[i].path, job.name, missing))) {
            job.choice = setup.decide(i, *job.folder, job.name);
            if (job.choice == Choice::Skip)
                continue;
            if (repeated && loading[earlier])
                job.choice = Choice::Listed;
            loading[i] = job.choice == Choice::Download || job.choice == Choice::DownloadUpdater;
        } else if (!setup.countsWhenRefused(i)) {
            continue;
        }
        // The downloads start with the first file to deal with; a run with nothing to
        // download starts none.
        if (pool.empty()) {
            for (size_t n = 0; n < workers; ++n)
                pool.emplace_back(work);
        }
        std::unique_lock guard(lock);
        if (queue.size() >= ahead) {
            deciderWaits = true;
            roomMade.wait(guard, [&] { return queue.size() <= ahead / 2; });
            deciderWaits = false;
        }
        queue.push_back(std::move(job));
        if (idle > 0)
            jobsReady.notify_one();
    }
    {
        std::lock_guard guard(lock);
        closed = true;
        jobsReady.notify_all();
    }
    for (std::thread& thread : pool)
        thread.join();
    // The downloaded files reach the disk before the run counts as done (and before a
    // fingerprint cache vouches for them).
    if (!pool.empty())
        SyncFileSystemAt(base);

    RunResult result;
    result.failed = failed.load();
    result.stopped = stopped.load() || observer.StopRequested();
    result.swapScript = static_cast<SwapScript>(swapScript.load());
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
