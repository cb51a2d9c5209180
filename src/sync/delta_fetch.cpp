#include "sync/delta_fetch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "base/native_file.h"
#include "sync/chunk_index.h"
#include "sync/delta_update.h"
#include "sync/http_download.h"
#include "sync/listed_file.h"
#include "sync/remembered_indexes.h"

namespace zefo {

namespace {

constexpr char kIndexFolder[] = ".zefo/";
// The chunks of other files a run looks up at most (some 128 GiB of files at the
// chunks' mean size): the remembered indexes past them are not read.
constexpr size_t kMaxLocalChunks = size_t{1} << 21;
// Files that hold a chunk, looked at per chunk; files lending chunks to one file.
constexpr size_t kMaxHoldersPerChunk = 8;
constexpr size_t kMaxLendingFiles = 8;
// Files with the wanted MD5 tried for a copy.
constexpr int kMaxCopyTries = 4;
// Local files are copied in pieces of this size.
constexpr size_t kCopyPiece = size_t{1} << 20;

// An entry of the run's table of chunks: the first bits of a chunk's SHA-256 above the
// file that holds it (below 2^kFileBits: every file adds a chunk or more, and there are
// at most kMaxLocalChunks). Two chunks alike in those bits only make a file looked at
// in vain: the plan compares whole digests.
constexpr int kFileBits = 22;
static_assert(kMaxLocalChunks < size_t{1} << kFileBits);
uint64_t ChunkKey(const Sha256Digest& digest) {
    uint64_t key = 0;
    for (size_t i = 0; i < 8; ++i)
        key = (key << 8) | digest[i];
    return key >> kFileBits << kFileBits;
}

// A whole small reply in memory, of at most `limit` bytes.
class MemorySink final : public DownloadSink {
  public:
    explicit MemorySink(int64_t limit) : limit_(limit) {}
    bool Append(const char* data, size_t length) override {
        if (static_cast<int64_t>(length) > limit_ - static_cast<int64_t>(bytes_.size()))
            return false;
        bytes_.append(data, length);
        return true;
    }
    int64_t held() const override { return static_cast<int64_t>(bytes_.size()); }
    int64_t limit() const override { return limit_; }
    bool HasRoomFor(int64_t bytes) const override { return bytes <= limit_; }
    bool StartOver() override {
        bytes_.clear();
        return true;
    }
    bool Commit() override { return true; }
    void Keep() override {}
    void Discard() override { bytes_.clear(); }
    std::string& bytes() { return bytes_; }

  private:
    const int64_t limit_;
    std::string bytes_;
};

// A chunk index of at most `limit` bytes read as it arrives: only its parsed form is
// held (its bytes are made again to remember it).
class IndexSink final : public DownloadSink {
  public:
    explicit IndexSink(int64_t limit) : limit_(limit) {}
    bool Append(const char* data, size_t length) override {
        if (static_cast<int64_t>(length) > limit_ - held_)
            return false;
        held_ += static_cast<int64_t>(length);
        return reader_.Update(std::string_view(data, length), [this](const Chunk& chunk) {
            if (index_.chunks.empty()) {
                const uint64_t fit = static_cast<uint64_t>(limit_) / kChunkRecordSize;
                index_.chunks.reserve(static_cast<size_t>(std::min(reader_.header().chunkCount, fit)));
            }
            index_.chunks.push_back(chunk);
        });
    }
    int64_t held() const override { return held_; }
    int64_t limit() const override { return limit_; }
    bool HasRoomFor(int64_t bytes) const override { return bytes <= limit_; }
    bool StartOver() override {
        Discard();
        return true;
    }
    bool Commit() override { return true; }
    void Keep() override {}
    void Discard() override {
        reader_ = ChunkIndexReader();
        index_ = ChunkIndex();
        held_ = 0;
    }
    // The index, once all of it came; false unless it is sound.
    bool Take(ChunkIndex& index) {
        if (!reader_.Finish())
            return false;
        index_.header = reader_.header();
        MarkBlocks(index_);
        index = std::move(index_);
        return true;
    }

  private:
    const int64_t limit_;
    int64_t held_ = 0;
    ChunkIndexReader reader_;
    ChunkIndex index_;
};

// A range's bytes handed on to the writer delta_update.h gives.
class WriterSink final : public ByteSink {
  public:
    explicit WriterSink(RangeWriter& out) : out_(out) {}
    bool Append(const char* data, size_t length) override { return out_.Write(data, length); }

  private:
    RangeWriter& out_;
};

// The file's temporary file as the ranges written at their offsets share it with a
// download of the whole file: the first range a server answers with the whole file
// takes it over, and no range writes into it after that.
struct WholeClaim {
    explicit WholeClaim(IncomingFile& file, std::function<void()> release)
        : incoming(file), limit(file.limit()), beforeCommit(std::move(release)) {}
    IncomingFile& incoming;
    const int64_t limit;
    std::function<void()> beforeCommit;  // lets the old file go before the new one takes its name
    bool Claimed() {
        std::shared_lock guard(lock);
        return claimed;
    }
    std::shared_mutex lock;
    bool claimed = false;  // guarded by lock
    std::atomic<bool> committed{false};
};

// A range's writer that stops once the file was taken over.
class ClaimedWriter final : public RangeWriter {
  public:
    ClaimedWriter(WholeClaim& claim, RangeWriter& out) : claim_(claim), out_(out) {}
    bool Write(const void* data, size_t size) override {
        std::shared_lock guard(claim_.lock);
        return !claim_.claimed && out_.Write(data, size);
    }

  private:
    WholeClaim& claim_;
    RangeWriter& out_;
};

// The sink of a whole file that came for a range: it takes the temporary file over when
// the download starts over, unless another answer took it first. What fails is left to
// the caller, who starts the file over.
class ClaimingSink final : public DownloadSink {
  public:
    explicit ClaimingSink(WholeClaim& claim) : claim_(claim) {}
    int64_t held() const override { return mine_ ? claim_.incoming.held() : 0; }
    int64_t limit() const override { return claim_.limit; }
    // Asked before the file is taken over; once another answer took it, there is none.
    bool HasRoomFor(int64_t bytes) const override {
        if (mine_)
            return claim_.incoming.HasRoomFor(bytes);
        std::shared_lock guard(claim_.lock);
        return !claim_.claimed && claim_.incoming.HasRoomFor(bytes);
    }
    bool StartOver() override {
        if (!mine_) {
            std::unique_lock guard(claim_.lock);
            if (claim_.claimed)
                return false;
            claim_.claimed = mine_ = true;
        }
        return claim_.incoming.StartOver();
    }
    bool Append(const char* data, size_t length) override { return mine_ && claim_.incoming.Append(data, length); }
    bool Commit() override {
        if (!mine_)
            return false;
        claim_.beforeCommit();
        const bool committed = claim_.incoming.Commit();
        claim_.committed.store(committed);
        return committed;
    }
    void Keep() override {}
    void Discard() override {}

  private:
    WholeClaim& claim_;
    bool mine_ = false;
};

// The ranges of one Spread, taken in turn by whoever works on it.
struct SpreadState {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    std::condition_variable finished;
    size_t active = 0;    // helpers at work, guarded by lock
    bool closed = false;  // no helper starts any more, guarded by lock
};

}  // namespace

// The index of a file fetched whole, asked for beside its download by an idle download.
struct SideIndex {
    std::mutex lock;
    std::condition_variable finished;
    bool started = false;  // a helper took it; guarded by lock, as are the three below
    bool closed = false;   // no helper starts it any more
    bool done = false;
    std::string zci;  // what the helper fetched: a sound index of the file, or empty
};

std::map<std::string, uint64_t> ParseIndexManifest(const std::string& text) {
    std::map<std::string, uint64_t> entries;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        // "<32 hex digits> <decimal size>", nothing else.
        if (line.size() < 34 || line[32] != ' ')
            return {};
        const std::string md5(line.substr(0, 32));
        if (!IsHexText(md5, 32))
            return {};
        uint64_t size = 0;
        for (char c : line.substr(33)) {
            const uint64_t digit = static_cast<uint64_t>(c - '0');
            if (c < '0' || c > '9' || size > (UINT64_MAX - digit) / 10)
                return {};
            size = size * 10 + digit;
        }
        entries[LowerAsciiText(md5)] = size;
    }
    return entries;
}

DeltaFetcher::DeltaFetcher(const GameSource& source, FingerprintCache* cache, Observer& observer)
    : source_(source), cache_(cache), observer_(observer) {}

DeltaFetcher::~DeltaFetcher() = default;

// A file's delta as planned: the old copy held open, the index and the plan over them.
struct DeltaFetcher::Prepared {
    NativeFile old;
    std::vector<std::unique_ptr<NativeFile>> lenders;  // other files of the game
    ChunkIndex index;
    bool indexChecked = false;              // `index` was read and agrees with the list
    std::unique_ptr<DeltaSources> sources;  // refers to `index`, `old` and `lenders`
    DeltaPlan plan;
    DeltaBytes cost;
};

// What the cache remembers of the game's files, sorted for look-ups.
struct DeltaFetcher::LocalFiles {
    std::vector<std::pair<std::string, std::string>> byMd5;  // (MD5, listed path)
    std::vector<std::string> indexed;                        // paths of files with a remembered index
    std::vector<uint64_t> chunks;                            // ChunkKey | file in `indexed`, sorted
};

const DeltaFetcher::LocalFiles& DeltaFetcher::Locals() {
    std::call_once(localsMade_, [this] {
        locals_ = std::make_unique<LocalFiles>();
        if (!cache_ || base_.empty())
            return;
        LocalFiles& locals = *locals_;
        const RememberedFiles entries = cache_->Entries();
        const RememberedIndexes kept(cache_->file());
        std::vector<std::string> read;  // the MD5s whose index was looked for
        for (const auto& [path, entry] : entries) {
            if (!IsLowerHexText(entry.md5, 32))
                continue;
            locals.byMd5.emplace_back(entry.md5, path);
            // The entry's own stamp stands for the file here: whether the file still has
            // it is asked only of the files that would lend chunks.
            if (entry.stamp.size < kMinDeltaSize || locals.chunks.size() >= kMaxLocalChunks ||
                std::find(read.begin(), read.end(), entry.md5) != read.end())
                continue;
            read.push_back(entry.md5);
            const uint64_t id = locals.indexed.size();
            const size_t before = locals.chunks.size();
            ChunkIndexHeader header;
            if (!kept.Read(entry, entry.stamp, header,
                           [&](const Chunk& chunk) { locals.chunks.push_back(ChunkKey(chunk.sha256) | id); })) {
                locals.chunks.resize(before);
                continue;
            }
            locals.indexed.push_back(path);
        }
        std::sort(locals.byMd5.begin(), locals.byMd5.end());
        std::sort(locals.chunks.begin(), locals.chunks.end());
        locals.chunks.erase(std::unique(locals.chunks.begin(), locals.chunks.end()), locals.chunks.end());
    });
    return *locals_;
}

void DeltaFetcher::SetListedPaths(const FileList& files) {
    listed_.clear();
    for (const FileEntry& entry : files)
        listed_.push_back(entry.path);
    std::sort(listed_.begin(), listed_.end());
    listedSet_ = true;
}

bool DeltaFetcher::AnyFileUnlisted() {
    std::call_once(unlistedMade_, [this] {
        if (!listedSet_ || !cache_)
            return;
        const RememberedFiles entries = cache_->Entries();
        unlisted_ = std::any_of(entries.begin(), entries.end(), [this](const auto& item) {
            return item.second.stamp.size >= kMinDeltaSize &&
                   !std::binary_search(listed_.begin(), listed_.end(), item.first);
        });
    });
    return unlisted_;
}

NativeFile DeltaFetcher::OpenVouched(const std::string& path, const std::string& md5) const {
    ListedFolders folders(base_, false);
    std::string name;
    bool missing = false;
    const std::shared_ptr<const SafeFolder> folder = folders.Open(path, name, missing);
    if (!folder)
        return {};
    NativeFile file = folder->OpenForReading(name);
    RememberedFile entry;
    FileStamp stamp;
    if (!file.valid() || !cache_->Entry(path, entry) || entry.md5 != md5 || !StampOf(file, stamp) ||
        !Vouches(entry, stamp))
        return {};
    return file;
}

NativeFile DeltaFetcher::FindCopy(const std::string& path, const std::string& md5) {
    const LocalFiles& locals = Locals();
    auto at = std::lower_bound(locals.byMd5.begin(), locals.byMd5.end(), std::make_pair(md5, std::string()));
    for (int tries = 0; at != locals.byMd5.end() && at->first == md5 && tries < kMaxCopyTries; ++at) {
        if (at->second == path)
            continue;
        ++tries;
        NativeFile file = OpenVouched(at->second, md5);
        if (file.valid())
            return file;
    }
    return {};
}

bool DeltaFetcher::CopyLocal(IncomingFile& incoming,
                             const std::string& path,
                             const DownloadChecks& checks,
                             const HttpClient::FileProgress& progress) {
    const std::string md5 = LowerAsciiText(checks.md5);
    if (!IsHexText(md5, 32))
        return false;
    NativeFile from = FindCopy(path, md5);
    const int64_t size = from.valid() ? FileSizeOf(from) : -1;
    if (size < 0 || (checks.size >= 0 && size != checks.size) || (incoming.size() > 0 && !incoming.StartOver()))
        return false;
    std::vector<char> piece(static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kCopyPiece), size)));
    for (int64_t at = 0; at < size;) {
        const int64_t got = ReadAtOffset(from, static_cast<uint64_t>(at), piece.data(),
                                         static_cast<size_t>(std::min<int64_t>(size - at, piece.size())));
        if (got <= 0 || !incoming.Append(piece.data(), static_cast<size_t>(got))) {
            incoming.StartOver();
            return false;
        }
        at += got;
    }
    // Checked as a download is: a copy that fails leaves no temporary file behind, and
    // StartOver makes a new one for the download that follows.
    if (!incoming.Commit()) {
        incoming.StartOver();
        return false;
    }
    if (progress)
        progress(size, size);
    return true;
}

void DeltaFetcher::AddOtherFiles(Prepared& out, const std::string& path) {
    const LocalFiles& locals = Locals();
    if (locals.chunks.empty())
        return;
    std::map<uint32_t, uint64_t> lent;  // file -> bytes of the new file it holds
    constexpr uint64_t kFile = (uint64_t{1} << kFileBits) - 1;
    for (size_t i = 0; i < out.index.chunks.size(); ++i) {
        const uint64_t key = ChunkKey(out.index.chunks.sha256(i));
        auto at = std::lower_bound(locals.chunks.begin(), locals.chunks.end(), key);
        for (size_t n = 0; at != locals.chunks.end() && (*at & ~kFile) == key && n < kMaxHoldersPerChunk; ++at, ++n)
            lent[static_cast<uint32_t>(*at & kFile)] += out.index.chunks.length(i);
    }
    std::vector<std::pair<uint64_t, uint32_t>> best;
    for (const auto& [id, bytes] : lent) {
        if (locals.indexed[id] != path)
            best.emplace_back(bytes, id);
    }
    std::sort(best.rbegin(), best.rend());
    if (best.size() > kMaxLendingFiles)
        best.resize(kMaxLendingFiles);
    const RememberedIndexes kept(cache_->file());
    for (const auto& [bytes, id] : best) {
        ListedFolders folders(base_, false);
        std::string name;
        bool missing = false;
        const std::shared_ptr<const SafeFolder> folder = folders.Open(locals.indexed[id], name, missing);
        if (!folder)
            continue;
        auto file = std::make_unique<NativeFile>(folder->OpenForReading(name));
        RememberedFile entry;
        FileStamp stamp;
        // The index as the cache vouches for the file now, which may have changed
        // since the table was made.
        if (!file->valid() || !cache_->Entry(locals.indexed[id], entry) || !StampOf(*file, stamp) ||
            !out.sources->AddIndexedFile(*file, [&](ChunkIndexHeader& header, const ChunkVisitor& each) {
                return kept.Read(entry, stamp, header, each);
            }))
            continue;
        out.lenders.push_back(std::move(file));
    }
}

bool DeltaFetcher::Locate(const std::string& name, Location& location) const {
    return FileLocation(source_, kIndexFolder + name, location);
}

uint64_t DeltaFetcher::IndexedSize(HttpClient& client, const std::string& md5) {
    std::lock_guard guard(lock_);
    if (!manifestRead_) {
        manifestRead_ = true;
        Location location;
        MemorySink sink(kMaxManifestSize);
        if (Locate("indexes", location) && client.Download(location, sink, &observer_))
            manifest_ = ParseIndexManifest(sink.bytes());
    }
    auto found = manifest_.find(md5);
    return found == manifest_.end() ? 0 : found->second;
}

HttpClient::RangeResult DeltaFetcher::FetchInto(HttpClient& client,
                                                const Location& from,
                                                uint64_t offset,
                                                uint64_t length,
                                                RangeWriter& out,
                                                DownloadSink* whole,
                                                const HttpClient::FileProgress& progress,
                                                bool server) {
    WriterSink sink(out);
    const HttpClient::RangeResult result = client.FetchRange(
        from, static_cast<int64_t>(offset), static_cast<int64_t>(length), sink, &observer_, whole, progress);
    // A server that answers a range with the whole file serves this run whole files only.
    if (server && (result == HttpClient::RangeResult::Ignored || result == HttpClient::RangeResult::Whole))
        rangesIgnored_.store(true, std::memory_order_relaxed);
    return result;
}

bool DeltaFetcher::Spread(HttpClient& client,
                          size_t count,
                          const std::function<bool(size_t, HttpClient&)>& fetch,
                          const std::function<bool(size_t, HttpClient&)>& ahead) {
    auto state = std::make_shared<SpreadState>();
    const size_t offers = offer_ && count > 1 ? std::min(helpers_, count - 1) : 0;
    // Each connection claims a run of consecutive fetches, as many as keep the
    // connections even, and sends the requests of the run ahead where it can, so that
    // their replies follow one another without a round trip between them.
    const size_t batch =
        ahead ? std::clamp<size_t>((count + offers) / (offers + 1), 1, HttpClient::kMaxAhead) : size_t{1};
    auto work = [state, count, batch, &fetch, &ahead](HttpClient& with) {
        std::deque<size_t> mine;  // the fetches claimed, in order
        size_t sent = 0;          // how many of the first of them went ahead
        auto claim = [&](size_t size) {
            const size_t first = state->next.fetch_add(size);
            for (size_t n = first; n < count && n - first < size; ++n)
                mine.push_back(n);
        };
        while (!state->failed.load(std::memory_order_relaxed)) {
            // A connection still to be opened cannot have requests ahead of its first
            // reply: it takes one fetch, and the kept ones meanwhile take the rest.
            if (mine.empty())
                claim(with.connected() ? batch : 1);
            if (mine.empty())
                return;
            // What went ahead is gone once the connection closed.
            if (with.ahead() == 0)
                sent = 0;
            auto sendAhead = [&] {
                while (ahead && sent < mine.size() && ahead(mine[sent], with))
                    ++sent;
            };
            sendAhead();
            // Once no more than a run is left and all of it went ahead, the next run is
            // claimed, so that its requests are on the way before the replies to these end.
            if (ahead && sent == mine.size() && mine.size() <= batch) {
                claim(batch);
                sendAhead();
            }
            const size_t n = mine.front();
            mine.pop_front();
            if (sent > 0)
                --sent;
            if (!fetch(n, with))
                state->failed.store(true, std::memory_order_relaxed);
        }
    };
    for (size_t i = 0; i < offers; ++i) {
        // A helper that comes after the work ended does nothing: `fetch` is gone then.
        offer_([state, work](HttpClient& with) {
            {
                std::lock_guard guard(state->lock);
                if (state->closed)
                    return;
                ++state->active;
            }
            work(with);
            std::lock_guard guard(state->lock);
            if (--state->active == 0)
                state->finished.notify_all();
        });
    }
    work(client);
    std::unique_lock guard(state->lock);
    state->closed = true;
    // Bounded: every fetch of a helper is (the client's time-outs).
    state->finished.wait(guard, [&state] { return state->active == 0; });
    return !state->failed.load(std::memory_order_relaxed);
}

bool DeltaFetcher::Prepare(HttpClient& client,
                           const SafeFolder& folder,
                           const std::string& name,
                           const std::string& path,
                           const DownloadChecks& checks,
                           const NativeFile* leftover,
                           Prepared& out) {
    const std::string md5 = LowerAsciiText(checks.md5);
    out.old = folder.OpenForReading(name);
    const int64_t oldSize = out.old.valid() ? FileSizeOf(out.old) : -1;
    // No old copy to draw from, or a small one, and no other file's remembered index (or
    // none that left the list: the new file is most likely new), or a small file: the
    // whole file, without a look at any index first. A leftover alone goes on where it
    // stopped (a plain resume).
    const bool hasOld = oldSize >= kMinDeltaSize;
    if (!IsHexText(md5, 32) || (checks.size >= 0 && checks.size < kMinDeltaSize) ||
        rangesIgnored_.load(std::memory_order_relaxed) || (!hasOld && (!AnyFileUnlisted() || Locals().chunks.empty())))
        return false;
    Location zcbLocation;
    if (!FetchIndex(client, checks, out.index) || !Locate(md5 + ".zcb", zcbLocation))
        return false;
    out.indexChecked = true;

    out.sources = std::make_unique<DeltaSources>(out.index);
    RememberedFile entry;
    FileStamp stamp;
    ChunkFeed remembered;
    if (cache_ && cache_->Entry(path, entry) && StampOf(out.old, stamp)) {
        remembered = [&](ChunkIndexHeader& header, const ChunkVisitor& each) {
            return RememberedIndexes(cache_->file()).Read(entry, stamp, header, each);
        };
    }
    if (hasOld && !out.sources->AddOldFile(out.old, remembered))
        return false;
    AddOtherFiles(out, path);
    if (leftover)
        out.sources->AddLeftover(*leftover);

    FetchRanges records = [&](const std::vector<ByteRange>& ranges, std::vector<std::string>& bytes) {
        std::vector<int> results(ranges.size(), -1);
        // A server that answers them with the whole index sends it once per connection:
        // the connection is closed at the head of that reply, before any other.
        Spread(
            client, ranges.size(),
            [&](size_t n, HttpClient& with) {
                TextRangeWriter writer(bytes[n], ranges[n].length);
                results[n] = FetchInto(with, zcbLocation, ranges[n].offset, ranges[n].length, writer, nullptr, {},
                                       true) == HttpClient::RangeResult::Done
                                 ? 0
                                 : -1;
                return results[n] == 0;
            },
            [&](size_t n, HttpClient& with) {
                return with.SendAhead(zcbLocation, static_cast<int64_t>(ranges[n].offset),
                                      static_cast<int64_t>(ranges[n].length));
            });
        return results;
    };
    out.plan = PlanDeltaAtOnce(out.index, *out.sources, records, kRangeMergeGap);
    out.cost = CountDeltaBytes(out.index, out.plan);
    // A plan that draws nothing from the disk is the whole file in pieces.
    return !rangesIgnored_.load(std::memory_order_relaxed) && out.cost.reused > 0;
}

bool DeltaFetcher::TryDelta(HttpClient& client,
                            const Location& location,
                            IncomingFile& incoming,
                            const SafeFolder& folder,
                            const std::string& name,
                            const std::string& path,
                            const DownloadChecks& checks,
                            const HttpClient::FileProgress& progress,
                            DeltaOutcome& outcome,
                            bool& wrote) {
    Prepared prepared;
    if (!Prepare(client, folder, name, path, checks, incoming.size() > 0 ? &incoming.file() : nullptr, prepared)) {
        // An index that agrees with the listing but found nothing to reuse is still the
        // one of the file that comes whole.
        if (prepared.indexChecked) {
            prepared.sources.reset();
            outcome.zci = ChunkIndexBytes(std::move(prepared.index));
        }
        return false;
    }
    wrote = true;
    std::atomic<uint64_t> done{0};
    const std::vector<ByteRange>& remote = prepared.plan.remote;
    // A server that answers a range with the whole file: that answer is the file's one
    // download (the fetching stops; nothing is assembled).
    WholeClaim claim(incoming, [&prepared] { prepared.old.Reset(); });
    // Each connection keeps to the source that last served it, so that it stays open.
    std::mutex servedLock;
    std::map<const HttpClient*, std::pair<int, Location>> served;
    const std::function<bool(size_t, HttpClient&)> fetchRange = [&](size_t n, HttpClient& with) {
        std::vector<std::pair<int, Location>> sources = mirrors_->Sources(location);
        {
            std::lock_guard guard(servedLock);
            auto last = served.find(&with);
            auto same = std::find_if(sources.begin(), sources.end(), [&](const auto& source) {
                return last != served.end() && source.first == last->second.first;
            });
            if (same != sources.end())
                std::rotate(sources.begin(), same, same + 1);
        }
        // The mirrors that answer, then the server; a mirror that fails a range is set
        // aside and the range asked elsewhere.
        bool came = false;
        for (const auto& [index, from] : sources) {
            if (!mirrors_->Use(index))
                continue;
            HttpClient::RangeResult result = HttpClient::RangeResult::Failed;
            FetchRange fetch = [&, &from = from, server = index == MirrorSet::kServer](uint64_t offset, uint64_t length,
                                                                                       RangeWriter& out) {
                ClaimedWriter writer(claim, out);
                ClaimingSink whole(claim);
                result = FetchInto(with, from, offset, length, writer, &whole, progress, server);
                return result == HttpClient::RangeResult::Done ? 0 : -1;
            };
            if (zefo::FetchInto(incoming.file(), remote[n], fetch) == DeltaResult::Done) {
                mirrors_->Done(index, true);
                std::lock_guard guard(servedLock);
                served[&with] = {index, from};
                came = true;
                break;
            }
            // A range cut off because another answer took the file over is no fault of its source.
            if (result == HttpClient::RangeResult::Whole || claim.Claimed() || observer_.StopRequested() ||
                index == MirrorSet::kServer) {
                mirrors_->Done(index, result == HttpClient::RangeResult::Whole);
                return false;
            }
            mirrors_->SetAside(index);
        }
        if (!came)
            return false;
        rangesServed_.store(true, std::memory_order_relaxed);
        const uint64_t now = done.fetch_add(remote[n].length) + remote[n].length;
        if (progress)
            progress(static_cast<int64_t>(now), static_cast<int64_t>(prepared.cost.fetched));
        return true;
    };
    // Until a range of a file came as asked in this run, the first range goes alone: a
    // server that answers it with the whole file sends the file once, not once for
    // every range asked at the same time.
    const size_t alone = rangesServed_.load(std::memory_order_relaxed) || remote.size() < 2 ? 0 : 1;
    // A range goes ahead to the source its connection served last (or to the server
    // where no mirror is in use): a mirror that has not served yet takes one request
    // at a time. Should the range go elsewhere after all, the connection is closed.
    const bool serverOnly = !mirrors_->AnyInUse();
    const std::function<bool(size_t, HttpClient&)> sendRange = [&](size_t n, HttpClient& with) {
        Location to = location;
        {
            std::lock_guard guard(servedLock);
            auto last = served.find(&with);
            if (last != served.end())
                to = last->second.second;
            else if (!serverOnly)
                return false;
        }
        const ByteRange& range = remote[n + alone];
        return !claim.Claimed() &&
               with.SendAhead(to, static_cast<int64_t>(range.offset), static_cast<int64_t>(range.length));
    };
    const bool fetched = (alone == 0 || fetchRange(0, client)) &&
                         Spread(
                             client, remote.size() - alone,
                             [&](size_t n, HttpClient& with) { return fetchRange(n + alone, with); }, sendRange);
    if (claim.committed.load()) {
        outcome.ok = true;
        return true;
    }
    if (!fetched)
        return false;
    if (AssembleDelta(prepared.index, prepared.plan, *prepared.sources, incoming.file(), checks) != DeltaResult::Done)
        return false;
    // The old file is let go before the new one takes its name.
    prepared.sources.reset();
    prepared.old.Reset();
    prepared.lenders.clear();
    if (!incoming.CommitAssembled())
        return false;
    outcome.delta = true;
    outcome.ok = true;
    // Every record of the index held true for the file it made: the fetched chunks
    // passed their SHA-256, the copied ones the file's digest. It is remembered.
    prepared.plan = DeltaPlan();
    outcome.zci = ChunkIndexBytes(std::move(prepared.index));
    return true;
}

FetchEstimate DeltaFetcher::Estimate(HttpClient& client,
                                     const SafeFolder& folder,
                                     const std::string& name,
                                     const std::string& path,
                                     const DownloadChecks& checks) {
    FetchEstimate estimate;
    estimate.size = checks.size;
    if (FindCopy(path, LowerAsciiText(checks.md5)).valid()) {
        estimate.fetch = 0;
        return estimate;
    }
    Prepared prepared;
    if (Prepare(client, folder, name, path, checks, nullptr, prepared)) {
        estimate.size = static_cast<int64_t>(prepared.cost.fileSize);
        estimate.fetch = static_cast<int64_t>(prepared.cost.total());
    } else if (prepared.sources) {
        estimate.size = static_cast<int64_t>(prepared.index.header.fileSize);
    }
    if (estimate.fetch < 0)
        estimate.fetch = estimate.size;
    return estimate;
}

DeltaOutcome DeltaFetcher::Fetch(HttpClient& client,
                                 const Location& location,
                                 const SafeFolder& folder,
                                 const std::string& name,
                                 const std::string& path,
                                 const DownloadChecks& checks,
                                 const HttpClient::FileProgress& progress) {
    DeltaOutcome outcome;
    IncomingFile incoming;
    if (incoming.Open(folder, name, checks) != IncomingFile::OpenResult::Ready)
        return outcome;
    if (CopyLocal(incoming, path, checks, progress)) {
        outcome.ok = true;
        return outcome;
    }
    bool wrote = false;
    if (TryDelta(client, location, incoming, folder, name, path, checks, progress, outcome, wrote))
        return outcome;
    if (observer_.StopRequested())
        return outcome;
    // The one download of the whole file; bytes written at offsets are no start of it.
    if (wrote && !incoming.StartOver())
        return outcome;
    // The file's index, to remember, is fetched beside the download where none is at hand
    // yet; after an attempt by its changes that failed, the index is in doubt.
    // Only a file that a later update can take by its changes: one whose size, from the
    // list or else from the reply's head, is kMinDeltaSize or more.
    std::shared_ptr<SideIndex> side;
    const bool wanted = outcome.zci.empty() && !wrote && IndexWorthKeeping(checks);
    auto offerAt = [&](int64_t size) {
        if (!side && size >= kMinDeltaSize)
            side = OfferIndexFetch(checks);
    };
    HttpClient::FileProgress watched = progress;
    if (wanted && checks.size >= 0) {
        offerAt(checks.size);
    } else if (wanted) {
        // Told on this thread, as the bytes arrive.
        watched = [&](int64_t held, int64_t size) {
            offerAt(size);
            if (progress)
                progress(held, size);
        };
    }
    // From the mirrors that answer, then the server: a mirror that fails it is set aside.
    outcome.ok = DownloadFromSources(client, *mirrors_, location, incoming, &observer_, watched);
    if (side)
        outcome.zci = TakeIndex(*side, client, outcome.ok, checks);
    return outcome;
}

bool DeltaFetcher::FetchIndex(HttpClient& client, const DownloadChecks& checks, ChunkIndex& index) {
    const std::string md5 = LowerAsciiText(checks.md5);
    // The manifest gives the file's size, which bounds its index.
    const uint64_t fileSize = IndexedSize(client, md5);
    if (fileSize == 0 || (checks.size >= 0 && fileSize != static_cast<uint64_t>(checks.size)))
        return false;
    Location location;
    IndexSink zci(static_cast<int64_t>(std::min<uint64_t>(MaxChunkIndexSize(fileSize), kMaxIndexFetched)));
    return Locate(md5 + ".zci", location) && client.Download(location, zci, &observer_) && zci.Take(index) &&
           CheckIndexAgainstListing(index.header, checks);
}

std::string DeltaFetcher::FetchIndexBytes(HttpClient& client, const DownloadChecks& checks) {
    ChunkIndex index;
    return FetchIndex(client, checks, index) ? ChunkIndexBytes(std::move(index)) : std::string();
}

bool DeltaFetcher::IndexWorthKeeping(const DownloadChecks& checks) const {
    // Somewhere to keep it, a file named by its MD5, and a server that serves ranges.
    return cache_ && IsHexText(checks.md5, 32) && !rangesIgnored_.load(std::memory_order_relaxed);
}

std::shared_ptr<SideIndex> DeltaFetcher::OfferIndexFetch(const DownloadChecks& checks) {
    auto side = std::make_shared<SideIndex>();
    if (offer_ && helpers_ > 0) {
        // A helper that comes after the download ended does nothing: the download then
        // fetched the index itself, or let it be.
        offer_([this, side, checks](HttpClient& with) {
            {
                std::lock_guard guard(side->lock);
                if (side->closed)
                    return;
                side->started = true;
            }
            std::string zci = FetchIndexBytes(with, checks);
            std::lock_guard guard(side->lock);
            side->zci = std::move(zci);
            side->done = true;
            side->finished.notify_all();
        });
    }
    return side;
}

std::string DeltaFetcher::TakeIndex(SideIndex& side,
                                    HttpClient& client,
                                    bool downloaded,
                                    const DownloadChecks& checks) {
    std::unique_lock guard(side.lock);
    side.closed = true;
    if (side.started) {
        // Bounded: the helper's requests are (the client's time-outs).
        side.finished.wait(guard, [&side] { return side.done; });
        return downloaded ? std::move(side.zci) : std::string();
    }
    guard.unlock();
    // No download was idle meanwhile: one request more on this connection, now that the
    // file is in.
    return downloaded && !observer_.StopRequested() ? FetchIndexBytes(client, checks) : std::string();
}

void DeltaFetcher::KeepIndex(const std::string& zci, const std::string& md5) {
    if (!cache_ || zci.empty())
        return;
    // A cache filled before its game was known keeps the indexes for its owner.
    if (cache_->file().empty())
        cache_->HoldIndex(LowerAsciiText(md5), zci);
    else
        RememberedIndexes(cache_->file()).Keep(zci, LowerAsciiText(md5));
}

void DeltaFetcher::Prune() {
    if (cache_)
        RememberedIndexes(cache_->file()).Prune(cache_->Entries());
}

void EstimateUpdate(const GameSource& source,
                    const std::string& base,
                    const FileList& files,
                    const std::vector<size_t>& which,
                    FingerprintCache* cache,
                    Observer& observer,
                    const std::function<void(size_t index, const FetchEstimate& estimate)>& each) {
    DeltaFetcher fetcher(source, cache, observer);
    fetcher.SetGameFolder(base);
    fetcher.SetListedPaths(files);
    HttpClient client;
    ListedFolders folders(base, false);
    for (size_t i : which) {
        const FileEntry& entry = files[i];
        const DownloadChecks checks{entry.fingerprint, entry.sha256, source.access.pin, entry.size};
        std::string name;
        bool missing = false;
        std::shared_ptr<const SafeFolder> folder = folders.Open(entry.path, name, missing);
        FetchEstimate estimate;
        if (folder) {
            estimate = fetcher.Estimate(client, *folder, name, entry.path, checks);
        } else {
            estimate.size = entry.size;
            estimate.fetch = entry.size;
        }
        each(i, estimate);
    }
}

}  // namespace zefo
