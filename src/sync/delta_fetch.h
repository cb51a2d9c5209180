// Updates of single files over HTTP that fetch only what changed. A published game
// folder may hold chunk indexes of its larger files in ".zefo/": a manifest "indexes"
// ("<md5> <size>" lines), and per file "<md5>.zci" (the chunk index) and "<md5>.zcb"
// (its block records). A file whose old copy is on the disk and has an index on the
// server is assembled
// from its local bytes and HTTP ranges of the published file (delta_update.h); every
// surprise on the way (no manifest or index, an index that disagrees with the list, a
// server that answers a range with the whole file, a failed check) ends in exactly one
// download of the whole file: where a range of the file itself was answered with the
// whole file, that answer is the download. A file without an old copy of kMinDeltaSize
// or more is fetched whole at once (a temporary file left by an earlier attempt
// resumed), without asking for any index; with one, the chunks such a leftover holds in
// place are kept.
//
// Other files of the game serve too, as far as the fingerprint cache vouches for them: a
// file with the new file's MD5 is copied (a file renamed or duplicated), and the files
// whose remembered indexes share chunks with the new index lend them (looked up in one
// table of their chunks made once per run; only the files that contribute are opened).
// With such indexes remembered, a file without an old copy has its index asked for.
//
// A file of kMinDeltaSize or more that comes whole has its index (where the server has
// one that agrees with the list) fetched beside the download by an idle download of the
// run, or after it when none is idle, and remembered with the file: its next update
// then needs no chunking of the old copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/safe_folder.h"
#include "net/address.h"
#include "net/http_client.h"
#include "net/mirrors.h"
#include "net/observer.h"
#include "sync/delta_update.h"
#include "sync/fingerprint_cache.h"
#include "sync/game_files.h"
#include "sync/incoming_file.h"

namespace zefo {

struct SideIndex;

// Local bytes between two fetched ranges shorter than this are fetched with them: one
// request fewer is worth this many bytes where a round trip costs about a millisecond
// at some 500 Mbit/s (bandwidth x round trip / connections, rounded down).
inline constexpr uint64_t kRangeMergeGap = 64 * 1024;
// Files are updated by their changes only where their old copy holds at least this
// much: a smaller one saves less than the requests for the indexes cost (publishers
// index files from this size on).
inline constexpr int64_t kMinDeltaSize = 1 << 20;
// A chunk index is held in memory while its file is updated: one larger than this (a
// file of some hundred GiB, or a manifest that lies about its size) is not fetched,
// and the file comes whole.
inline constexpr uint64_t kMaxIndexFetched = 64 << 20;
// The manifest is read up to this size; a larger one counts as none.
inline constexpr int64_t kMaxManifestSize = 16 << 20;

// The manifest's entries: lowercase MD5 -> size of the file indexed. Empty when the text is
// not a sound manifest (any line malformed counts as none).
std::map<std::string, uint64_t> ParseIndexManifest(const std::string& text);

// What fetching one file cost.
struct DeltaOutcome {
    bool ok = false;
    bool delta = false;  // assembled from local bytes and ranges
    std::string zci;     // the chunk index the file was assembled by, to remember
};

// What updating one file would fetch: the bytes, its indexes included, and the file's
// whole size; -1 where not known (a list without sizes, a file without an index).
struct FetchEstimate {
    int64_t fetch = -1;
    int64_t size = -1;
};

// Work an idle download of the run may take on, with its own connection.
using HelpTask = std::function<void(HttpClient&)>;
// Hands a task to the idle downloads of the run (or to none: the offering download
// then does the work itself).
using OfferHelp = std::function<void(HelpTask)>;

// The delta side of one run; its methods may be called from several downloads at once.
class DeltaFetcher {
  public:
    // `cache`, when given, names the remembered indexes (remembered_indexes.h).
    DeltaFetcher(const GameSource& source, FingerprintCache* cache, Observer& observer);
    ~DeltaFetcher();

    // Fetches the listed file `path` (at `location`) into `name` in `folder`, by delta
    // where that can pay, else whole. `progress` hears of the bytes fetched against the
    // bytes to fetch.
    DeltaOutcome Fetch(HttpClient& client,
                       const Location& location,
                       const SafeFolder& folder,
                       const std::string& name,
                       const std::string& path,
                       const DownloadChecks& checks,
                       const HttpClient::FileProgress& progress);

    // What Fetch would fetch for the file: its plan made as Fetch makes it (the manifest,
    // the index and block records fetched to know), without a leftover.
    FetchEstimate Estimate(HttpClient& client,
                           const SafeFolder& folder,
                           const std::string& name,
                           const std::string& path,
                           const DownloadChecks& checks);

    // The ranges of a file are spread over the offering download's connection and those
    // of up to `helpers` idle downloads that take the offered tasks.
    void SetHelpers(OfferHelp offer, size_t helpers) {
        offer_ = std::move(offer);
        helpers_ = helpers;
    }

    // The run's mirrors: a file's ranges and whole downloads are asked of the mirrors
    // that answer and the server (its indexes of the server only). Unset: the server
    // alone. Set before the first Fetch; `mirrors` must outlive this.
    void UseMirrors(MirrorSet* mirrors) { mirrors_ = mirrors ? mirrors : &serverOnly_; }

    // The game's folder, below which the files the cache remembers lie, so that they may
    // serve other files. Unset: a file draws on its own old copy only. Set before the
    // first Fetch or Estimate.
    void SetGameFolder(std::string base) { base_ = std::move(base); }

    // The paths the run's list `files` names. A file without an old copy has its index asked for
    // first, to take chunks from the game's other files, only where a file the cache
    // remembers is listed no more (renamed, or given up for another); else it comes
    // whole at once. Unset: it always is asked for. Set before the first Fetch or Estimate.
    void SetListedPaths(const FileList& files);

    // Keeps `zci`, the index of the committed file with `md5` (a no-op without a cache;
    // held by a cache kept nowhere yet).
    void KeepIndex(const std::string& zci, const std::string& md5);
    // Removes the remembered indexes no remembered file names any more.
    void Prune();

  private:
    struct Prepared;
    struct LocalFiles;
    // The table of the game's remembered files, made on first use.
    const LocalFiles& Locals();
    // Whether a file of kMinDeltaSize or more that the cache remembers is listed no more.
    bool AnyFileUnlisted();
    // The file listed as `path` open for reading when the cache vouches for it with `md5`.
    NativeFile OpenVouched(const std::string& path, const std::string& md5) const;
    // A file of the game other than `path` that the cache vouches for with `md5`.
    NativeFile FindCopy(const std::string& path, const std::string& md5);
    // Copies such a file into `incoming` and commits it there, checked as a download.
    bool CopyLocal(IncomingFile& incoming,
                   const std::string& path,
                   const DownloadChecks& checks,
                   const HttpClient::FileProgress& progress);
    // Adds the files whose remembered indexes share the most chunks with the new one.
    void AddOtherFiles(Prepared& out, const std::string& path);
    // The plan of the file by its changes; false when it is to come whole.
    bool Prepare(HttpClient& client,
                 const SafeFolder& folder,
                 const std::string& name,
                 const std::string& path,
                 const DownloadChecks& checks,
                 const NativeFile* leftover,
                 Prepared& out);
    // Runs fetch(n, client) for every n below `count`, over `client` and the clients of
    // the idle downloads that help; returns once no helper works on it any more. True
    // when every call returned true (after a false one, no further ones are made).
    // `ahead`, when given, sends the request of fetch n ahead on the client (false when
    // it did not): each client takes runs of consecutive fetches, sent ahead in order.
    bool Spread(HttpClient& client,
                size_t count,
                const std::function<bool(size_t, HttpClient&)>& fetch,
                const std::function<bool(size_t, HttpClient&)>& ahead = {});
    HttpClient::RangeResult FetchInto(HttpClient& client,
                                      const Location& from,
                                      uint64_t offset,
                                      uint64_t length,
                                      RangeWriter& out,
                                      DownloadSink* whole,
                                      const HttpClient::FileProgress& progress,
                                      bool server);
    // The index of the listed file, when the manifest names it with the listed size and
    // the server has a sound one that agrees with the list.
    bool FetchIndex(HttpClient& client, const DownloadChecks& checks, ChunkIndex& index);
    // The same as the bytes of a .zci, else empty.
    std::string FetchIndexBytes(HttpClient& client, const DownloadChecks& checks);
    // Whether the index of a file that comes whole is to be fetched and remembered.
    bool IndexWorthKeeping(const DownloadChecks& checks) const;
    // Has an idle download fetch the index of a file that is coming whole, so that it
    // can be remembered.
    std::shared_ptr<SideIndex> OfferIndexFetch(const DownloadChecks& checks);
    // The index `side` fetched, once the download ended (`downloaded`: it succeeded); when
    // no helper took it, fetched now over `client`.
    std::string TakeIndex(SideIndex& side, HttpClient& client, bool downloaded, const DownloadChecks& checks);
    // The size of the file with `md5` as the manifest (fetched once per run) gives it; 0
    // when the server has no index of it.
    uint64_t IndexedSize(HttpClient& client, const std::string& md5);
    bool Locate(const std::string& name, Location& location) const;
    bool TryDelta(HttpClient& client,
                  const Location& location,
                  IncomingFile& incoming,
                  const SafeFolder& folder,
                  const std::string& name,
                  const std::string& path,
                  const DownloadChecks& checks,
                  const HttpClient::FileProgress& progress,
                  DeltaOutcome& outcome,
                  bool& wrote);

    const GameSource& source_;
    FingerprintCache* const cache_;
    Observer& observer_;
    OfferHelp offer_;
    size_t helpers_ = 0;
    std::atomic<bool> rangesIgnored_{false};  // the server answered a range with a whole file
    std::atomic<bool> rangesServed_{false};   // a range of a file came as asked
    std::mutex lock_;
    bool manifestRead_ = false;                 // guarded by lock_
    std::map<std::string, uint64_t> manifest_;  // guarded by lock_ until manifestRead_
    MirrorSet serverOnly_;
    MirrorSet* mirrors_ = &serverOnly_;
    std::string base_;
    std::vector<std::string> listed_;  // sorted
    bool listedSet_ = false;
    std::once_flag unlistedMade_;
    bool unlisted_ = true;  // set once through unlistedMade_
    std::once_flag localsMade_;
    std::unique_ptr<LocalFiles> locals_;  // set once through localsMade_
};

// What updating the entries `which` of `files` below `base` would fetch, told to `each`
// entry by entry, in order: by a plan where Fetch would make one (the manifest, indexes
// and block records are fetched to know), else the whole size.
void EstimateUpdate(const GameSource& source,
                    const std::string& base,
                    const FileList& files,
                    const std::vector<size_t>& which,
                    FingerprintCache* cache,
                    Observer& observer,
                    const std::function<void(size_t index, const FetchEstimate& estimate)>& each);

}  // namespace zefo
