// The run that installing and updating share: it walks a game's list in order, asks a
// Decider what to do with each listed file, and hands the files to fetch, each with
// its plan, to downloads running in parallel. It reports each file ("LOADING",
// "ERR_FILE", FileDone), the progress, and readies the self-update.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/observer.h"
#include "sync/delta_plan.h"
#include "sync/fingerprint_cache.h"
#include "sync/game_files.h"

namespace zefo {

class HttpClient;

// What a run does with one listed file whose folder is open.
enum class Choice {
    Skip,
    Download,
    DownloadUpdater,  // the running program's own file, which goes beside it
    Listed,           // an earlier entry names the same file alike and loads it
    Contradict,       // an earlier entry names the same file with other digests: it fails
};

// The length of a remote span that runs to the end of a file of unknown size.
inline constexpr uint64_t kToTheEnd = UINT64_MAX;

// The plan of a file fetched whole: one remote span from 0, of `size` bytes
// (kToTheEnd when the size is not known, -1).
Plan WholeFilePlan(int64_t size);

// What a run asks of install or update. Called on the thread that runs the run, one
// entry after the other, except Done, which the downloads call from their threads.
class Decider {
  public:
    virtual ~Decider() = default;
    // What to do with entry `index`, whose file is `name` in `folder`.
    virtual Choice Decide(size_t index, const SafeFolder& folder, const std::string& name) = 0;
    // The plan of an entry chosen for Download: by default the whole file.
    virtual Plan PlanFile(size_t index, const SafeFolder& folder, const std::string& name);
    // Whether an entry whose path or folder is refused counts (as a failed file).
    virtual bool CountsWhenRefused(size_t index) = 0;
    // Every counted entry's outcome.
    virtual void Done(size_t /*index*/, bool /*ok*/) {}
};

class DownloadRun {
  public:
    // `total` is the count of files the progress goes to; `cache`, when given,
    // remembers the fingerprint of every verified download.
    DownloadRun(const GameSource& source,
                const FileList& files,
                Observer& observer,
                FingerprintCache* cache,
                float total);
    ~DownloadRun();
    DownloadRun(const DownloadRun&) = delete;
    DownloadRun& operator=(const DownloadRun&) = delete;

    // In list order, opens each listed file's folder below `base` (missing levels
    // made; empty: every file is refused) and lets `decider` choose; the files to
    // fetch go to `source.connections` downloads at once, each on a connection it keeps
    // between its files. A file is reported when it starts ("LOADING"), again when it
    // failed ("ERR_FILE"), and counts in the progress when it ends. With one
    // connection everything happens in list order. Runs once.
    RunResult Run(const std::string& base, Decider& decider);

  private:
    struct Shared;
    struct Job;
    class Progress;
    void Work();
    void Deal(HttpClient& client, Job& job);
    bool Fetch(HttpClient& client, const Job& job);
    void Enqueue(Job job);

    const GameSource& source_;
    const FileList& files_;
    Observer& observer_;
    FingerprintCache* const cache_;
    Decider* decider_ = nullptr;
    std::unique_ptr<Progress> progress_;
    std::unique_ptr<Shared> shared_;
};

}  // namespace zefo
