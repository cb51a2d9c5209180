#include "sync/download_run.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "base/native_file.h"
#include "base/safe_folder.h"
#include "net/http_client.h"
#include "support/translations.h"
#include "sync/delta_fetch.h"
#include "sync/http_download.h"
#include "sync/listed_file.h"
#include "sync/self_update.h"

namespace zefo {

namespace {

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

// The new updater goes beside the running one, from the run's mirrors like any file.
// The swap is ready only while a complete, verified copy exists; a copy whose swap
// cannot be readied is of no use and goes too, and the file counts as failed.
bool DownloadUpdater(HttpClient& client,
                     MirrorSet& mirrors,
                     const Location* location,
                     const SafeFolder& folder,
                     const DownloadChecks& checks,
                     Observer& observer,
                     const HttpClient::FileProgress& progress) {
    if (!WithdrawSwap(folder))
        return false;
    // The swap must never put a copy in place that a power loss could have damaged.
    DownloadChecks durable = checks;
    durable.durable = true;
    if (!location ||
        !DownloadFromSources(client, mirrors, *location, folder, ProgramCopyName(), durable, &observer, progress) ||
        !ReadySwap(folder)) {
        folder.Remove(ProgramCopyName());
        return false;
    }
    return true;
}

}  // namespace

// The share of the job done: finished files, and the finished share of the files in
// flight. Reported whenever the whole percentage changes, outside the lock the
// downloads share: a front end may take its time to show it (the window program waits
// for its window's thread), and the other downloads go on meanwhile.
class DownloadRun::Progress {
  public:
    Progress(Observer& observer, float total) : observer_(observer), total_(total) {}

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
struct DownloadRun::Job {
    size_t index = 0;
    Choice choice = Choice::Skip;  // Skip here: the path or the way to it was refused
    std::shared_ptr<const SafeFolder> folder;
    std::string name;
    Plan plan;  // for Download and DownloadUpdater
};

// What the deciding thread and the downloads share.
struct DownloadRun::Shared {
    size_t workers = 1;
    // The files decided ahead of the downloads: at most `ahead` (each holds its folder
    // open). Once full, the deciding waits until half are taken, so that the threads
    // wake each other once per batch, not per file (under Wine every wake is a trip
    // through its server).
    size_t ahead = 8;
    std::mutex lock;
    std::condition_variable jobsReady;  // for idle downloads
    std::condition_variable roomMade;   // for the deciding thread
    std::deque<Job> queue;              // guarded by lock, as are the five below
    std::deque<HelpTask> helps;         // ranges of files in flight that idle downloads may fetch
    size_t inFlight = 0;                // files being dealt with: until none is, idle downloads stay
    size_t idle = 0;
    bool deciderWaits = false;
    bool closed = false;
    std::vector<std::thread> pool;       // the deciding thread's own
    std::unique_ptr<MirrorSet> mirrors;  // the run's mirrors, shared by its downloads
    std::atomic<int> failed{0};
    std::atomic<bool> stopped{false};
    std::atomic<int> swapScript{static_cast<int>(SwapScript::Untouched)};
};

Plan WholeFilePlan(int64_t size) {
    return Plan{Span{0, size >= 0 ? static_cast<uint64_t>(size) : kToTheEnd, kRemoteSource, 0}};
}

Plan Decider::PlanFile(size_t /*index*/, const SafeFolder& /*folder*/, const std::string& /*name*/) {
    return {};
}

DownloadRun::DownloadRun(const GameSource& source,
                         const FileList& files,
                         Observer& observer,
                         FingerprintCache* cache,
                         float total)
    : source_(source),
      files_(files),
      observer_(observer),
      cache_(cache),
      progress_(std::make_unique<Progress>(observer, total)),
      shared_(std::make_unique<Shared>()),
      delta_(std::make_unique<DeltaFetcher>(source, cache, observer)) {
    shared_->workers = static_cast<size_t>(std::clamp(source.connections, 1, kMaxConnections));
    shared_->ahead = std::max<size_t>(2 * shared_->workers, 8);
    shared_->mirrors = std::make_unique<MirrorSet>(source.network.mirrors);
    delta_->UseMirrors(shared_->mirrors.get());
    delta_->SetHelpers([this](HelpTask task) { Offer(std::move(task)); }, shared_->workers - 1);
}

void DownloadRun::Offer(HelpTask task) {
    Shared& shared = *shared_;
    std::lock_guard guard(shared.lock);
    shared.helps.push_back(std::move(task));
    if (shared.idle > 0)
        shared.jobsReady.notify_one();
}

DownloadRun::~DownloadRun() = default;

bool DownloadRun::Fetch(HttpClient& client, const Job& job) {
    const FileEntry& entry = files_[job.index];
    // Nothing the publisher signed vouches for a file without its SHA-256.
    if (source_.signedFiles && entry.sha256.empty())
        return false;
    Location location;
    const bool located = FileLocation(source_, entry.path, location);
    const DownloadChecks checks{entry.fingerprint, entry.sha256, source_.access.pin, entry.size};
    auto advance = [this, &job](int64_t held, int64_t size) { progress_->Advance(job.index, held, size); };
    // The program's own file comes whole; every other one by its changes where the
    // server has an index of it and the disk holds bytes of it (delta_fetch.h).
    if (job.choice == Choice::DownloadUpdater) {
        const bool ok = DownloadUpdater(client, *shared_->mirrors, located ? &location : nullptr, *job.folder, checks,
                                        observer_, advance);
        shared_->swapScript.store(static_cast<int>(ok ? SwapScript::Written : SwapScript::Gone));
        return ok;
    }
    if (!located)
        return false;
    // From the mirrors that answer and the server, by the file's changes where it can.
    const DeltaOutcome outcome = delta_->Fetch(client, location, *job.folder, job.name, entry.path, checks, advance);
    if (!outcome.ok)
        return false;
    // The program's own file, installed with the game, must run there.
    if (entry.path == ProgramFileName() && !MakeProgramRunnable(*job.folder, job.name))
        return false;
    // A download checked against a fingerprint has exactly these bytes, once they are
    // on the disk.
    int64_t size = 0;
    if (cache_ && IsHexText(entry.fingerprint, 32) && job.folder->Kind(job.name, &size) == EntryKind::File &&
        CommittedFileIsDurable(size)) {
        cache_->Remember(*job.folder, job.name, entry.path, LowerAsciiText(entry.fingerprint));
        delta_->KeepIndex(outcome.zci, entry.fingerprint);
    }
    return true;
}

void DownloadRun::Deal(HttpClient& client, Job& job) {
    const FileEntry& entry = files_[job.index];
    bool ok = false;
    if (job.choice == Choice::Listed) {
        ok = true;  // its outcome is the earlier entry's, counted there
    } else if (job.choice == Choice::Download || job.choice == Choice::DownloadUpdater) {
        observer_.Status(Translate("LOADING", entry.path));
        ok = Fetch(client, job);
    }
    if (!ok) {
        observer_.Status(Translate("ERR_FILE", entry.path));
        shared_->failed.fetch_add(1);
    }
    decider_->Done(job.index, ok);
    observer_.FileDone(entry.path, ok);
    progress_->Finish(job.index);
}

void DownloadRun::Work() {
    Shared& shared = *shared_;
    // Each download's connection goes by source.network: the proxy (chosen once
    // for each server by the client) and the shared speed limit; the mirrors are
    // the run's (shared->mirrors).
    HttpClient client(true, source_.network);
    for (;;) {
        Job job;
        HelpTask help;
        {
            std::unique_lock guard(shared.lock);
            ++shared.idle;
            // Done once nothing is left to decide, queued or in flight: a file in flight
            // may still offer its ranges.
            shared.jobsReady.wait(guard, [&shared] {
                return !shared.helps.empty() || !shared.queue.empty() || (shared.closed && shared.inFlight == 0);
            });
            --shared.idle;
            if (!shared.helps.empty()) {
                help = std::move(shared.helps.front());
                shared.helps.pop_front();
            } else if (shared.queue.empty()) {
                return;
            } else {
                job = std::move(shared.queue.front());
                shared.queue.pop_front();
                ++shared.inFlight;
                if (shared.deciderWaits && shared.queue.size() <= shared.ahead / 2)
                    shared.roomMade.notify_one();
            }
        }
        if (help) {
            help(client);
            continue;
        }
        if (observer_.StopRequested())
            shared.stopped.store(true);
        else
            Deal(client, job);
        std::lock_guard guard(shared.lock);
        if (--shared.inFlight == 0 && shared.closed)
            shared.jobsReady.notify_all();
    }
}

void DownloadRun::Enqueue(Job job) {
    Shared& shared = *shared_;
    // The downloads start with the first file to deal with; a run with nothing to
    // download starts none.
    if (shared.pool.empty()) {
        for (size_t n = 0; n < shared.workers; ++n)
            shared.pool.emplace_back([this] { Work(); });
    }
    std::unique_lock guard(shared.lock);
    if (shared.queue.size() >= shared.ahead) {
        shared.deciderWaits = true;
        shared.roomMade.wait(guard, [&shared] { return shared.queue.size() <= shared.ahead / 2; });
        shared.deciderWaits = false;
    }
    shared.queue.push_back(std::move(job));
    if (shared.idle > 0)
        shared.jobsReady.notify_one();
}

RunResult DownloadRun::Run(const std::string& base, Decider& decider) {
    decider_ = &decider;
    delta_->SetGameFolder(base);
    delta_->SetListedPaths(files_);
    Shared& shared = *shared_;
    ListedFolders folders(base, true);
    // A file listed twice is loaded once, by its first entry: two downloads of one name
    // would race for its temporary file, and a file cannot match two fingerprints.
    const std::vector<std::pair<size_t, size_t>> repeats = RepeatedListings(files_);
    auto repeat = repeats.begin();
    std::vector<bool> loading(files_.size());  // the entries given to the downloads
    for (size_t i = 0; i < files_.size() && !shared.stopped.load(); ++i) {
        if (observer_.StopRequested()) {
            shared.stopped.store(true);
            break;
        }
        // The first entry of the same file, when this one repeats it.
        const bool repeated = repeat != repeats.end() && repeat->first == i;
        const size_t earlier = repeated ? (repeat++)->second : i;
        Job job;
        job.index = i;
        bool missing = false;
        if (repeated && (!SameHexText(files_[earlier].fingerprint, files_[i].fingerprint) ||
                         !SameHexText(files_[earlier].sha256, files_[i].sha256))) {
            // Decided before the disk is looked at: the file may match this entry just
            // while the earlier one is being loaded over it.
            if (!decider.CountsWhenRefused(i))
                continue;
            job.choice = Choice::Contradict;
        } else if (!base.empty() && (job.folder = folders.Open(files_[i].path, job.name, missing))) {
            job.choice = decider.Decide(i, *job.folder, job.name);
            if (job.choice == Choice::Skip)
                continue;
            if (repeated && loading[earlier])
                job.choice = Choice::Listed;
            loading[i] = job.choice == Choice::Download || job.choice == Choice::DownloadUpdater;
            if (job.choice == Choice::Download)
                job.plan = decider.PlanFile(i, *job.folder, job.name);
            if (loading[i] && job.plan.empty())
                job.plan = WholeFilePlan(files_[i].size);
        } else if (!decider.CountsWhenRefused(i)) {
            continue;
        }
        Enqueue(std::move(job));
    }
    {
        std::lock_guard guard(shared.lock);
        shared.closed = true;
        shared.jobsReady.notify_all();
    }
    for (std::thread& thread : shared.pool)
        thread.join();
    // The downloaded files reach the disk before the run counts as done (and before a
    // fingerprint cache vouches for them).
    // The remembered indexes of files replaced meanwhile go.
    if (!shared.pool.empty()) {
        SyncFileSystemAt(base);
        delta_->Prune();
    }

    RunResult result;
    result.failed = shared.failed.load();
    result.stopped = shared.stopped.load() || observer_.StopRequested();
    result.swapScript = static_cast<SwapScript>(shared.swapScript.load());
    return result;
}

}  // namespace zefo
