#include "publish/publish.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "base/ascii.h"
#include "base/file_system.h"
#include "base/md5.h"
#include "base/safe_folder.h"
#include "net/crypto.h"
#include "net/mirrors.h"
#include "net/signed_list.h"
#include "net/text_ops.h"
#include "publish/publish_indexes.h"
#include "publish/publish_names.h"
#include "publish/publish_platform.h"
#include "publish/publisher_key.h"
#include "sync/chunk_index.h"
#include "sync/fingerprint_cache.h"

namespace fs = std::filesystem;

namespace zefo::tools {

namespace {

// Paths longer than this risk the 260-character limit of Windows once installed.
constexpr size_t kLongPathWarning = 200;
constexpr size_t kMaxSmallFile = 4096;
constexpr size_t kCopyBlock = 1 << 20;

std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

// Where a file is written before it replaces `name`; a leftover of a crashed run
// is removed by the next one.
std::string TemporaryName(const std::string& name) {
    return "." + name + ".zefo-tmp";
}

bool ReadSmallFile(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(kMaxSmallFile + 1, '\0');
    in.read(out.data(), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<size_t>(in.gcount()));
    return !in.bad() && out.size() <= kMaxSmallFile;
}

// Lines ended by CR LF, LF or CR; a leading UTF-8 byte-order mark is dropped.
std::vector<std::string> SplitLines(std::string text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::string TextMd5(const std::string& bytes) {
    Md5 md5;
    md5.Update(bytes.data(), bytes.size());
    return md5.FinalHex();
}

// A list this publisher wrote: it begins with its block, or with the mirrors' line.
bool StartsWithListMarker(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    char head[9] = {};
    in.read(head, sizeof head);
    return (in.gcount() >= 6 && std::memcmp(head, "[data]", 6) == 0) ||
           (in.gcount() == 9 && std::memcmp(head, "[mirrors]", 9) == 0);
}

std::string ErrorText(const std::error_code& error) {
    return error.message();
}

struct PlannedFile {
    std::string path;
    fs::path source;      // empty for generated content
    std::string content;  // generated content
    std::string md5;
    std::string sha256;    // only when signing
    int64_t size = -1;     // only when signing: the bytes the digests were taken of
    FileStamp stamp;       // the source file's when its digests were taken
    bool trusted = false;  // the digests may be remembered under `stamp`
    FileStamp published;   // the copy in the web root as written or found equal
    bool indexed = false;  // its indexes were written as it was copied
};

// The regular file `path` below `base` opened for reading, with no link on the way
// to it; invalid when that cannot be.
NativeFile OpenBelow(const fs::path& base, const std::string& path) {
    const size_t slash = path.rfind('/');
    SafeFolder folder;
    if (folder.Open(base.string(), slash == std::string::npos ? std::string() : path.substr(0, slash), false) !=
        SafeFolder::OpenResult::Opened)
        return NativeFile();
    return folder.OpenForReading(path.substr(slash + 1));
}

// The MD5 of `file`, and with `sha256` its SHA-256 and `size` the bytes read too, in one
// read; false when it cannot be read.
bool ReadDigests(const NativeFile& file, std::string& md5, std::string* sha256, int64_t& size) {
    if (!sha256) {
        md5 = FingerprintOf(file);
        return !md5.empty();
    }
    if (!file.valid())
        return false;
    Md5 md5Digest;
    Sha256 shaDigest;
    std::vector<char> block(kCopyBlock);
    size = 0;
    for (;;) {
        const int64_t got = ReadFromFile(file, block.data(), block.size());
        if (got < 0)
            return false;
        if (got == 0)
            break;
        size += got;
        md5Digest.Update(block.data(), static_cast<size_t>(got));
        shaDigest.Update(block.data(), static_cast<size_t>(got));
    }
    md5 = md5Digest.FinalHex();
    *sha256 = shaDigest.FinalHex();
    return !sha256->empty();
}

// The lowercase MD5 of the file `index` was made of.
std::string IndexedMd5(const ChunkIndex& index) {
    const std::array<uint8_t, 16>& md5 = index.header.fileMd5;
    return HexText(std::string_view(reinterpret_cast<const char*>(md5.data()), md5.size()));
}

// A file's indexes, made in the pass that copies it.
struct CopyIndex {
    ChunkIndexWriter writer{{}, kDefaultBlockSize, /*takesMd5=*/false};  // the copy takes it
    std::string chunkIndex;
    std::string blockIndex;
};

// Feeds an index writer on a thread of its own, so that making a file's indexes
// overlaps with reading and writing it: the copy hands over each block it has read
// and goes on with the next while the writer takes it. The blocks come from a ring of
// kIndexBlocks buffers; the copy waits only when the writer is that far behind.
class IndexFeeder {
  public:
    static constexpr size_t kIndexBlocks = 16;

    explicit IndexFeeder(ChunkIndexWriter& writer) : writer_(writer) {
        for (std::vector<char>& buffer : buffers_)
            buffer.resize(kCopyBlock);
        thread_ = std::thread([this] { Run(); });
    }
    ~IndexFeeder() { End(); }

    // The buffer for the next block, once the writer is done with its earlier use.
    std::vector<char>& NextBuffer() {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return given_ - taken_ < kIndexBlocks; });
        return buffers_[given_ % kIndexBlocks];
    }
    // Hands over the first `size` bytes of the buffer NextBuffer returned last.
    void Give(size_t size) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            sizes_[given_ % kIndexBlocks] = size;
            ++given_;
        }
        changed_.notify_all();
    }
    // Waits until the writer has taken every block given.
    void End() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ended_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

  private:
    void Run() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            changed_.wait(hold, [this] { return taken_ < given_ || ended_; });
            if (taken_ == given_)
                return;
            const size_t slot = taken_ % kIndexBlocks;
            hold.unlock();
            writer_.Update(buffers_[slot].data(), sizes_[slot]);
            hold.lock();
            ++taken_;
            changed_.notify_all();
        }
    }

    ChunkIndexWriter& writer_;
    std::array<std::vector<char>, kIndexBlocks> buffers_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::array<size_t, kIndexBlocks> sizes_{};  // guarded by lock_, as are the three below
    uint64_t given_ = 0;
    uint64_t taken_ = 0;
    bool ended_ = false;
    std::thread thread_;
};

// Copies `source` to its end into `out`, and with `index` makes the file's indexes on
// the way (on a second thread, the MD5 being taken on this one); the MD5 of the bytes copied, empty when reading,
// writing or indexing failed.
std::string CopyWithFingerprint(const NativeFile& source, FileReplacement& out, CopyIndex* index) {
    if (!index) {
        Md5 md5;
        std::vector<char> block(kCopyBlock);
        for (;;) {
            const int64_t got = ReadFromFile(source, block.data(), block.size());
            if (got < 0)
                return {};
            if (got == 0)
                return md5.FinalHex();
            md5.Update(block.data(), static_cast<size_t>(got));
            if (!out.Write(block.data(), static_cast<size_t>(got)))
                return {};
        }
    }
    // The copy takes the MD5 meanwhile.
    Md5 md5;
    IndexFeeder feeder(index->writer);
    for (;;) {
        std::vector<char>& block = feeder.NextBuffer();
        const int64_t got = ReadFromFile(source, block.data(), block.size());
        if (got < 0)
            return {};
        if (got == 0)
            break;
        feeder.Give(static_cast<size_t>(got));
        md5.Update(block.data(), static_cast<size_t>(got));
        if (!out.Write(block.data(), static_cast<size_t>(got)))
            return {};
    }
    feeder.End();
    uint8_t digest[16];
    md5.Final(digest);
    if (!index->writer.Finish(index->chunkIndex, index->blockIndex, digest))
        return {};
    return IndexedMd5(index->writer.index());
}

// Up to `limit` bytes of `file` into `out`; false when it cannot be read or holds more.
bool ReadAtMost(const NativeFile& file, uint64_t limit, std::string& out) {
    out.clear();
    if (!file.valid())
        return false;
    std::vector<char> block(64 * 1024);
    for (;;) {
        const int64_t got = ReadFromFile(file, block.data(), block.size());
        if (got < 0 || out.size() + static_cast<uint64_t>(got) > limit)
            return false;
        if (got == 0)
            return true;
        out.append(block.data(), static_cast<size_t>(got));
    }
}

// The size of the published copy of `file`: its source's when its digests were taken.
int64_t PublishedSize(const PlannedFile& file) {
    return file.source.empty() ? static_cast<int64_t>(file.content.size()) : file.stamp.size;
}

struct GamePlan {
    std::string folder;
    std::string name;
    std::vector<PlannedFile> files;
    RememberedFiles cache;  // what the last run learnt
};

class Publisher {
  public:
    Publisher(const PublishOptions& options, PublishResult& result) : options_(options), result_(result) {}

    void Run();

  private:
    void Error(const std::string& text) { result_.errors.push_back(text); }
    void Warning(const std::string& text) { result_.warnings.push_back(text); }
    void Note(const std::string& text) { result_.notes.push_back(text); }

    bool ScanSource(std::vector<std::string>& folders);
    void ScanGame(const std::string& folder);
    std::optional<std::string> DisplayName(const std::string& folder);
    void CheckRoot();
    bool PublishGame(GamePlan& plan);
    bool PlaceFile(PlannedFile& file, const GamePlan& plan, const fs::path& gameRoot);
    bool IsUnchanged(PlannedFile& file, const GamePlan& plan, const SafeFolder& folder, const std::string& name);
    bool WriteFile(const SafeFolder& folder,
                   const std::string& name,
                   std::string_view bytes,
                   FileStamp* stamp = nullptr);
    void TakeDigests(const GamePlan& plan, PlannedFile& file);
    void FindCacheFolder();
    RememberedFiles LoadCache(const std::string& folder);
    void SaveCache(const GamePlan& plan);
    std::string CacheKey(const std::string& folder) const;
    void RemoveStale(const GamePlan& plan, const fs::path& gameRoot);
    bool WantsIndex(const PlannedFile& file) const;
    bool OpenIndexFolder(const fs::path& gameRoot);
    bool WriteIndexes(const GamePlan& plan, const fs::path& gameRoot, std::set<std::string>& indexed);
    bool HasIndex(const PlannedFile& file) const;
    bool KeepIndex(const fs::path& gameRoot, const PlannedFile& file);
    bool StoreIndex(const PlannedFile& file,
                    const std::string& where,
                    const ChunkIndex& index,
                    const std::string& chunkIndex,
                    const std::string& blockIndex);
    void RemoveStaleIndexes(const fs::path& gameRoot, const std::set<std::string>& indexed);
    void NoteUnlisted();
    std::string ListText(const std::string& unsignedText,
                         const std::string& target,
                         std::vector<std::string> digests,
                         std::vector<int64_t> sizes,
                         const fs::path& replaced,
                         const std::vector<std::string>& mirrors = {});
    // Refuses mirrors that no client would take, twice the same, or ones a signed
    // list of format 1 cannot carry.
    void CheckMirrors();

    const PublishOptions& options_;
    PublishResult& result_;
    fs::path source_;
    fs::path root_;
    std::vector<GamePlan> games_;
    bool linkFallbackNoted_ = false;
    SafeFolder indexFolder_;               // the current game's .zefo once opened
    std::set<std::string> copiedIndexes_;  // the MD5s whose indexes the current game's copies made
    fs::path cacheFolder_;                 // empty: no fingerprint cache
    int64_t start_ = StampNow();           // in stamp units
};

bool Publisher::ScanSource(std::vector<std::string>& folders) {
    std::error_code error;
    if (!fs::is_directory(source_, error)) {
        Error(Quote(options_.source) + ": the source is not a folder");
        return false;
    }
    fs::directory_iterator it(source_, error);
    if (error) {
        Error(Quote(options_.source) + ": " + ErrorText(error));
        return false;
    }
    for (const fs::directory_entry& entry : it) {
        std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.')
            continue;
        fs::file_status status = entry.symlink_status(error);
        if (fs::is_symlink(status))
            Error(name + ": is a symbolic link; put the game's folder itself into the source");
        else if (fs::is_directory(status))
            folders.push_back(name);
        else
            Note(name + ": not a folder, ignored");
    }
    std::sort(folders.begin(), folders.end());
    for (const auto& [folder, name] : options_.names)
        if (std::find(folders.begin(), folders.end(), folder) == folders.end())
            Error(Quote(folder) + ": a display name was given for it, but the source has no such game folder");
    return true;
}

// The name from the command line or game.txt; none when neither gives one.
std::optional<std::string> Publisher::DisplayName(const std::string& folder) {
    auto named = options_.names.find(folder);
    if (named != options_.names.end())
        return named->second;
    fs::path gameTxt = source_ / folder / "game.txt";
    std::error_code error;
    if (fs::exists(gameTxt, error)) {
        std::string text;
        if (!ReadSmallFile(gameTxt, text)) {
            Error(folder + "/game.txt: cannot be read or is larger than 4 KB");
            return folder;
        }
        std::vector<std::string> lines = SplitLines(text);
        std::string name = lines.empty() ? std::string() : Trim(lines[0]);
        if (name.empty())
            Error(folder + "/game.txt: the first line (the display name) is empty");
        return name;
    }
    return std::nullopt;
}

void Publisher::ScanGame(const std::string& folder) {
    GamePlan plan;
    plan.folder = folder;
    const size_t errorsBefore = result_.errors.size();
    std::string reason = CheckNameComponent(folder);
    if (reason.empty() && LowerAsciiText(folder) == "index.html")
        reason = "is the name of the game list's file";
    if (!reason.empty()) {
        Error(Quote(folder) + ": game folder name " + reason);
        return;
    }
    if (folder.find(' ') != std::string::npos)
        Warning(folder +
                ": the folder name has a blank; the client sends it unencoded in the file list request, "
                "which zefo_serve accepts but many web servers (nginx among them) refuse");
    std::optional<std::string> name = DisplayName(folder);

    const fs::path gameDir = source_ / folder;
    std::map<std::string, std::string> dirs;   // lower-case path -> path
    std::map<std::string, std::string> files;  // lower-case path -> path
    std::error_code error;
    fs::recursive_directory_iterator it(gameDir, fs::directory_options::none, error);
    if (error) {
        Error(folder + ": " + ErrorText(error));
        return;
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) {
            Error(folder + ": " + ErrorText(error));
            break;
        }
        const fs::directory_entry& entry = *it;
        const std::string component = entry.path().filename().string();
        const std::string rel = entry.path().lexically_relative(gameDir).generic_string();
        const std::string where = folder + "/" + rel;
        fs::file_status status = entry.symlink_status(error);
        if (component[0] == '.') {  // hidden files (.git, .DS_Store) are not part of a game
            if (fs::is_directory(status))
                it.disable_recursion_pending();
            continue;
        }
        if (fs::is_symlink(status)) {
            Error(where + ": is a symbolic link; publish the file itself");
            continue;
        }
        if (fs::is_directory(status)) {
            reason = CheckNameComponent(component);
            if (!reason.empty()) {
                Error(where + ": folder name " + reason);
                it.disable_recursion_pending();
                continue;
            }
            dirs.emplace(LowerAsciiText(rel), rel);
            continue;
        }
        if (!fs::is_regular_file(status)) {
            Error(where + ": is not a regular file");
            continue;
        }
        if (it.depth() == 0 && component == "game.txt")
            continue;
        reason = CheckListedPath(rel);
        if (!reason.empty()) {
            Error(where + ": " + reason);
            continue;
        }
        if (it.depth() == 0 && LowerAsciiText(component) == "index.html") {
            Error(where + ": index.html at the top of a game is where its file list is written");
            continue;
        }
        if (rel.size() > kLongPathWarning)
            Warning(where + ": the path is " + std::to_string(rel.size()) +
                    " characters long; installed under a deep folder it may exceed what Windows allows");
        files.emplace(LowerAsciiText(rel), rel);
        PlannedFile planned;
        planned.path = rel;
        planned.source = entry.path();
        plan.files.push_back(std::move(planned));
    }

    // Windows folders ignore letter case: two names that differ only in case would land on one file.
    std::map<std::string, std::string> seen;
    for (const PlannedFile& file : plan.files) {
        std::string lower = LowerAsciiText(file.path);
        auto [at, added] = seen.emplace(lower, file.path);
        if (!added)
            Error(folder + "/" + file.path + ": same name as " + Quote(at->second) + " on Windows (letter case)");
        auto dir = dirs.find(lower);
        if (dir != dirs.end())
            Error(folder + "/" + file.path + ": same name as the folder " + Quote(dir->second) +
                  " on Windows (letter case)");
    }

    // The installed-game marker: an installed copy starts in Updater mode for this game.
    auto marker = files.find("data/game.dat");
    if (marker != files.end()) {
        std::string text;
        std::vector<std::string> lines;
        if (ReadSmallFile(gameDir / marker->second, text))
            lines = SplitLines(text);
        if (lines.size() < 2 || lines[1] != folder)
            Error(folder + "/" + marker->second + ": its second line must be the game folder " + Quote(folder) +
                  "; an installed copy would ask the server for another game");
        else if (!name)
            name = lines[0];
        else if (lines[0] != *name)
            Warning(folder + "/" + marker->second + ": names the game " + Quote(lines[0]) +
                    ", the game list names it " + Quote(*name));
    }
    if (!name) {
        Note(folder + ": no game.txt, the display name is the folder name");
        name = folder;
    }
    plan.name = *name;
    if (!plan.name.empty()) {
        reason = CheckDisplayName(plan.name);
        if (!reason.empty())
            Error(folder + ": display name " + Quote(plan.name) + " " + reason);
        else if (std::any_of(plan.name.begin(), plan.name.end(), [](char c) { return (c & 0x80) != 0; }))
            Warning(folder + ": display name " + Quote(plan.name) +
                    " has non-ASCII characters; the client reads the game list in a Windows code page and may "
                    "show them garbled");
    }
    if (marker == files.end() && files.count("data") != 0) {
        Error(folder + "/" + files["data"] + ": a file named data leaves no room for data/game.dat");
    } else if (marker == files.end()) {
        auto dataDir = dirs.find("data");
        std::string path = (dataDir != dirs.end() ? dataDir->second : std::string("data")) + "/game.dat";
        PlannedFile generated;
        generated.path = path;
        generated.content = GameDatText(plan.name, folder);
        generated.md5 = TextMd5(generated.content);
        plan.files.push_back(generated);
    }

    if (result_.errors.size() != errorsBefore)
        return;
    if (!options_.full)
        plan.cache = LoadCache(folder);
    for (PlannedFile& file : plan.files)
        TakeDigests(plan, file);
    // Byte order keeps the lists stable between runs. data/game.dat is always listed, so the first
    // record never has the path "error", which the client would take for an error reply.
    std::sort(plan.files.begin(), plan.files.end(),
              [](const PlannedFile& a, const PlannedFile& b) { return a.path < b.path; });
    games_.push_back(std::move(plan));
}

// The file's digests: from the cache when its stamp vouches for them, else read.
void Publisher::TakeDigests(const GamePlan& plan, PlannedFile& file) {
    if (file.source.empty()) {
        if (options_.signer) {
            file.sha256 = Sha256Hex(file.content);
            file.size = static_cast<int64_t>(file.content.size());
        }
        return;
    }
    const std::string where = plan.folder + "/" + file.path;
    NativeFile in = OpenBelow(source_ / plan.folder, file.path);
    if (!StampOf(in, file.stamp)) {
        Error(where + ": cannot be read");
        return;
    }
    auto cached = plan.cache.find(file.path);
    if (cached != plan.cache.end() && Vouches(cached->second, file.stamp) &&
        (!options_.signer || !cached->second.sha256.empty())) {
        file.md5 = cached->second.md5;
        file.sha256 = options_.signer ? cached->second.sha256 : std::string();
        file.size = options_.signer ? file.stamp.size : -1;  // the stamp vouches for the size too
        file.trusted = true;
        ++result_.filesFromCache;
        return;
    }
    ++result_.filesRead;
    FileStamp after;
    if (!ReadDigests(in, file.md5, options_.signer ? &file.sha256 : nullptr, file.size) || !StampOf(in, after)) {
        Error(where + ": cannot be read");
        return;
    }
    // A file written during the read, or so recently that a next write may keep its
    // stamp, is read again next time.
    file.trusted = after == file.stamp && SettledBefore(file.stamp, start_);
}

// Where the cache files go: --cache, or beside the web root ("www" -> "www.zefo-cache"),
// never inside it, so that neither zefo_serve nor a copy of the web root sends them out.
void Publisher::FindCacheFolder() {
    if (!options_.cache.empty()) {
        cacheFolder_ = options_.cache;
        return;
    }
    std::error_code error;
    fs::path root = fs::absolute(root_, error).lexically_normal();
    if (!root.has_filename())
        root = root.parent_path();
    if (error || !root.has_filename() || root.filename() == "." || root.filename() == "..") {
        Note("no fingerprint cache beside the web root " + Quote(options_.root) + " (give one with --cache)");
        return;
    }
    cacheFolder_ = root.parent_path() / (root.filename().string() + ".zefo-cache");
}

// The cache file names the game's source folder, so that a cache kept for another source is dropped.
std::string Publisher::CacheKey(const std::string& folder) const {
    std::error_code error;
    return fs::weakly_canonical(source_ / folder, error).string();
}

RememberedFiles Publisher::LoadCache(const std::string& folder) {
    RememberedFiles cache;
    SafeFolder cacheFolder;
    if (!cacheFolder_.empty() && cacheFolder.Open(cacheFolder_.string(), {}, false) == SafeFolder::OpenResult::Opened &&
        ReadFingerprintCache(cacheFolder, folder, CacheKey(folder), cache) == CacheFileState::Dropped)
        Note(folder + ": the fingerprint cache " + Quote((cacheFolder_ / folder).string()) +
             " is damaged, of an older format or was kept for another source folder; every file is read and the"
             " cache made anew");
    return cache;
}

// Remembers the digests of this run. Failing to is no error: the next run reads more.
void Publisher::SaveCache(const GamePlan& plan) {
    if (cacheFolder_.empty())
        return;
    RememberedFiles cache;
    for (const PlannedFile& file : plan.files) {
        if (!file.trusted && file.published.size < 0)
            continue;
        RememberedFile& entry = cache[file.path];
        entry.md5 = file.md5;
        entry.sha256 = file.sha256;
        if (file.trusted)
            entry.stamp = file.stamp;
        entry.taken = start_;
        entry.published = file.published;
    }
    std::error_code error;
    fs::create_directories(cacheFolder_, error);
    SafeFolder folder;
    if (folder.Open(cacheFolder_.string(), {}, false) != SafeFolder::OpenResult::Opened ||
        !ReplaceFileWith(folder, plan.folder, FingerprintCacheText(CacheKey(plan.folder), cache),
                         TemporaryName(plan.folder)))
        Note(plan.folder + ": the fingerprint cache cannot be written in " + Quote(cacheFolder_.string()) +
             "; the next run reads every file again");
}

void Publisher::CheckRoot() {
    std::error_code error;
    fs::file_status status = fs::status(root_, error);
    if (fs::exists(status) && !fs::is_directory(status)) {
        Error(Quote(options_.root) + ": the web root is not a folder");
        return;
    }
    fs::path source = fs::weakly_canonical(source_, error);
    fs::path root = fs::weakly_canonical(root_, error);
    auto inside = [](const fs::path& inner, const fs::path& outer) {
        auto rel = inner.lexically_relative(outer);
        return !rel.empty() && *rel.begin() != "..";
    };
    if (inside(root, source) || inside(source, root)) {
        Error("the web root and the source folder must not lie inside each other");
        return;
    }
    const fs::path cache = fs::weakly_canonical(cacheFolder_, error);
    if (!cacheFolder_.empty() && (inside(cache, source) || inside(cache, root))) {
        Error(Quote(cacheFolder_.string()) + ": the fingerprint cache must lie outside the source and the web root");
        return;
    }
    fs::path list = root_ / "index.html";
    if (fs::exists(list, error) && !StartsWithListMarker(list))
        Error(Quote(list.string()) + ": holds a page that is not a game list; refusing to replace it");
    for (const GamePlan& plan : games_) {
        fs::path gameRoot = root_ / plan.folder;
        fs::file_status gameStatus = fs::symlink_status(gameRoot, error);
        if (!fs::exists(gameStatus))
            continue;
        if (!fs::is_directory(gameStatus))
            Error(Quote(gameRoot.string()) + ": exists and is not a folder");
        else if (!fs::is_empty(gameRoot, error) && !StartsWithListMarker(gameRoot / "index.html"))
            Error(Quote(gameRoot.string()) +
                  ": exists and holds no file list of an earlier publish; refusing to write into it");
    }
}

// Replaces `name` in `folder` with `bytes`; false (with an error) when that fails.
bool Publisher::WriteFile(const SafeFolder& folder, const std::string& name, std::string_view bytes, FileStamp* stamp) {
    FileReplacement out;
    // The stamp taken before the rename is the file's after it: a rename keeps both.
    if (out.Begin(folder, name, TemporaryName(name)) && out.Write(bytes.data(), bytes.size()) &&
        MakeReadableByAll(out.file()) && (!stamp || StampOf(out.file(), *stamp)) && out.Commit())
        return true;
    Error(folder.path() + name + ": cannot be written");
    return false;
}

// True when the published file `name` (a regular file) already is what `file` would put
// there. A copy whose stamp is the one this publisher left is taken as it was then.
bool Publisher::IsUnchanged(PlannedFile& file,
                            const GamePlan& plan,
                            const SafeFolder& folder,
                            const std::string& name) {
    std::error_code error;
    const bool linked = !file.source.empty() && fs::equivalent(file.source, folder.path() + name, error);
    if (options_.hardLink && !file.source.empty())
        return linked;
    // A link left by --link is replaced by a copy, so that later edits of the source do not leak out.
    if (linked)
        return false;
    const int64_t expected = file.source.empty() ? static_cast<int64_t>(file.content.size()) : file.stamp.size;
    NativeFile published = folder.OpenForReading(name);
    FileStamp stamp;
    if (!StampOf(published, stamp) || stamp.size != expected)
        return false;
    auto cached = plan.cache.find(file.path);
    if (cached != plan.cache.end() && cached->second.published == stamp) {
        if (cached->second.md5 != file.md5)
            return false;
        file.published = stamp;
        return true;
    }
    ++result_.filesRead;
    if (FingerprintOf(published) != file.md5)
        return false;
    file.published = stamp;
    return true;
}

bool Publisher::PlaceFile(PlannedFile& file, const GamePlan& plan, const fs::path& gameRoot) {
    std::error_code error;
    const size_t slash = file.path.rfind('/');
    const std::string parentPath = slash == std::string::npos ? std::string() : file.path.substr(0, slash);
    const std::string name = file.path.substr(slash + 1);
    // Clear stale files and links that stand where a folder is needed now.
    fs::path parent = gameRoot;
    for (const fs::path& part : fs::path(parentPath)) {
        parent /= part;
        fs::file_status status = fs::symlink_status(parent, error);
        if (fs::exists(status) && !fs::is_directory(status))
            fs::remove(parent, error);
    }
    SafeFolder folder;
    if (folder.Open(gameRoot.string(), parentPath, true) != SafeFolder::OpenResult::Opened) {
        Error(parent.string() + ": cannot create the folder");
        return false;
    }
    const EntryKind kind = folder.Kind(name);
    if (kind == EntryKind::Folder) {
        fs::remove_all(folder.path() + name, error);
    } else if (kind == EntryKind::File && IsUnchanged(file, plan, folder, name)) {
        ++result_.filesUnchanged;
        return true;
    }

    if (file.source.empty()) {
        if (!WriteFile(folder, name, file.content, &file.published))
            return false;
        ++result_.filesWritten;
        return true;
    }
    const std::string temporary = TemporaryName(name);
    if (options_.hardLink) {
        folder.Remove(temporary);
        fs::create_hard_link(file.source, folder.path() + temporary, error);
        if (!error) {
            // The list will carry the fingerprint taken before; the file must still have it.
            if (FingerprintOf(folder.OpenForReading(temporary)) != file.md5) {
                folder.Remove(temporary);
                file.trusted = false;
                Error(file.source.string() + ": changed while it was being published; run again");
                return false;
            }
            if (!folder.Replace(temporary, name)) {
                folder.Remove(temporary);
                Error(folder.path() + name + ": cannot be replaced");
                return false;
            }
            folder.Sync();
            ++result_.filesWritten;
            return true;
        }
        if (!linkFallbackNoted_) {
            Note("hard links are not possible here (" + error.message() + "); copying instead");
            linkFallbackNoted_ = true;
        }
    }
    NativeFile source = OpenBelow(source_ / plan.folder, file.path);
    FileReplacement copy;
    if (!source.valid()) {
        Error(file.source.string() + ": cannot be read");
        return false;
    }
    if (!copy.Begin(folder, name, temporary)) {
        Error(folder.path() + name + ": cannot be written");
        return false;
    }
    // A renamed file, or a copy of another, keeps the indexes its bytes have.
    std::unique_ptr<CopyIndex> index;
    if (WantsIndex(file) && copiedIndexes_.count(file.md5) == 0 && !(OpenIndexFolder(gameRoot) && HasIndex(file)))
        index = std::make_unique<CopyIndex>();
    const std::string md5 = CopyWithFingerprint(source, copy, index.get());
    if (md5.empty()) {
        Error(file.source.string() + ": cannot be copied");
        return false;
    }
    // The list carries the fingerprint taken before; the copy must have it.
    if (md5 != file.md5) {
        file.trusted = false;
        Error(file.source.string() + ": changed while it was being published; run again");
        return false;
    }
    if (!MakeReadableByAll(copy.file()) || !StampOf(copy.file(), file.published) || !copy.Commit()) {
        file.published = FileStamp();
        Error(folder.path() + name + ": cannot be replaced");
        return false;
    }
    ++result_.filesWritten;
    if (index) {
        if (!OpenIndexFolder(gameRoot) ||
            !StoreIndex(file, folder.path() + name, index->writer.index(), index->chunkIndex, index->blockIndex))
            return false;
        file.indexed = true;
        copiedIndexes_.insert(file.md5);
    }
    return true;
}

void Publisher::RemoveStale(const GamePlan& plan, const fs::path& gameRoot) {
    std::set<std::string> keep{"index.html"};
    for (const PlannedFile& file : plan.files)
        keep.insert(file.path);
    std::vector<fs::path> staleFiles;
    std::vector<fs::path> dirs;
    std::error_code error;
    fs::recursive_directory_iterator it(gameRoot, fs::directory_options::none, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        fs::file_status status = it->symlink_status(error);
        if (it.depth() == 0 && it->path().filename() == kIndexFolder && fs::is_directory(status)) {
            it.disable_recursion_pending();  // the indexes' own folder: RemoveStaleIndexes
            continue;
        }
        if (fs::is_directory(status))
            dirs.push_back(it->path());
        else if (keep.count(it->path().lexically_relative(gameRoot).generic_string()) == 0)
            staleFiles.push_back(it->path());
    }
    for (const fs::path& path : staleFiles)
        if (fs::remove(path, error))
            ++result_.filesRemoved;
    // Deepest first, so that emptied parents go too.
    std::sort(dirs.begin(), dirs.end(),
              [](const fs::path& a, const fs::path& b) { return a.native().size() > b.native().size(); });
    for (const fs::path& dir : dirs)
        if (fs::is_empty(dir, error))
            fs::remove(dir, error);
}

bool Publisher::PublishGame(GamePlan& plan) {
    const fs::path gameRoot = root_ / plan.folder;
    indexFolder_ = SafeFolder();
    copiedIndexes_.clear();
    SafeFolder gameFolder;
    if (gameFolder.Open(root_.string(), plan.folder, true) != SafeFolder::OpenResult::Opened) {
        Error(gameRoot.string() + ": cannot create the folder");
        return false;
    }
    // Files first, then the list that names them, then what the list no longer names:
    // a client reading either list finds every listed file.
    bool placed = true;
    for (PlannedFile& file : plan.files)
        if (!(placed = PlaceFile(file, plan, gameRoot)))
            break;
    // What was learnt is kept even when a file failed, so that the next run does not read it all again.
    SaveCache(plan);
    std::set<std::string> indexed;
    if (!placed || !WriteIndexes(plan, gameRoot, indexed))
        return false;
    std::vector<ListedFile> listed;
    std::vector<std::string> digests;
    std::vector<int64_t> sizes;
    for (const PlannedFile& file : plan.files) {
        listed.push_back({file.path, file.md5});
        digests.push_back(file.sha256);
        sizes.push_back(file.size);
    }
    const std::string text = ListText(FileListText(listed), "/" + plan.folder + "/", std::move(digests),
                                      std::move(sizes), gameRoot / "index.html", options_.mirrors);
    if (text.empty() || !WriteFile(gameFolder, "index.html", MirrorsLineText(options_.mirrors) + text))
        return false;
    RemoveStale(plan, gameRoot);
    RemoveStaleIndexes(gameRoot, indexed);
    return true;
}

bool Publisher::WantsIndex(const PlannedFile& file) const {
    return options_.indexMinSize >= 0 && PublishedSize(file) >= options_.indexMinSize;
}

// Opens the game's index folder, made when missing; false (with an error) when it cannot be.
bool Publisher::OpenIndexFolder(const fs::path& gameRoot) {
    if (indexFolder_.IsOpen())
        return true;
    SafeFolder game;
    if (game.Open(gameRoot.string(), {}, false) == SafeFolder::OpenResult::Opened) {
        const EntryKind kind = game.Kind(kIndexFolder);
        if (kind != EntryKind::Folder && kind != EntryKind::Missing)
            game.Remove(kIndexFolder);  // a file or link in the way is no index of ours
        if (indexFolder_.Open(gameRoot.string(), kIndexFolder, true) == SafeFolder::OpenResult::Opened)
            return true;
    }
    indexFolder_ = SafeFolder();
    Error((gameRoot / kIndexFolder).string() + ": cannot create the folder");
    return false;
}

// Makes sure every published file of at least the size line has its chunk indexes, and
// writes the manifest that names them; the MD5s indexed go into `indexed`. False (with
// an error) when an index cannot be made.
bool Publisher::WriteIndexes(const GamePlan& plan, const fs::path& gameRoot, std::set<std::string>& indexed) {
    std::vector<IndexedFile> manifest;
    for (const PlannedFile& file : plan.files)
        if (file.indexed && indexed.insert(file.md5).second)
            manifest.push_back({file.md5, PublishedSize(file)});
    for (const PlannedFile& file : plan.files) {
        if (!WantsIndex(file) || !indexed.insert(file.md5).second)
            continue;
        if (!OpenIndexFolder(gameRoot) || !KeepIndex(gameRoot, file))
            return false;
        manifest.push_back({file.md5, PublishedSize(file)});
    }
    if (manifest.empty())
        return true;
    const std::string text = IndexManifestText(std::move(manifest));
    std::string old;
    if (ReadAtMost(indexFolder_.OpenForReading(kIndexManifest), text.size(), old) && old == text)
        return true;
    return WriteFile(indexFolder_, kIndexManifest, text);
}

// True when the open index folder holds sound indexes of `file`.
bool Publisher::HasIndex(const PlannedFile& file) const {
    const int64_t size = PublishedSize(file);
    std::string chunkIndex;
    int64_t blockSize = -1;
    return indexFolder_.Kind(BlockIndexName(file.md5), &blockSize) == EntryKind::File &&
           ReadAtMost(indexFolder_.OpenForReading(ChunkIndexName(file.md5)),
                      MaxChunkIndexSize(static_cast<uint64_t>(size)), chunkIndex) &&
           IndexFits(chunkIndex, blockSize, file.md5, size);
}

// Keeps the indexes of `file` when they are there and sound for it, else makes them
// from its published copy; false (with an error) when that fails.
bool Publisher::KeepIndex(const fs::path& gameRoot, const PlannedFile& file) {
    if (HasIndex(file)) {
        ++result_.indexesKept;
        return true;
    }
    const std::string where = (gameRoot / file.path).string();
    NativeFile in = OpenBelow(gameRoot, file.path);
    if (!in.valid()) {
        Error(where + ": cannot be read to index it");
        return false;
    }
    ChunkIndexWriter writer;
    std::vector<char> block(kCopyBlock);
    for (;;) {
        const int64_t got = ReadFromFile(in, block.data(), block.size());
        if (got < 0) {
            Error(where + ": cannot be read to index it");
            return false;
        }
        if (got == 0)
            break;
        writer.Update(block.data(), static_cast<size_t>(got));
    }
    std::string chunkIndex, blockIndex;
    if (!writer.Finish(chunkIndex, blockIndex)) {
        Error(where + ": cannot be indexed");
        return false;
    }
    return StoreIndex(file, where, writer.index(), chunkIndex, blockIndex);
}

// Writes the indexes of `file` (published at `where`) into the open index folder; false
// (with an error) when they are not of the file's bytes or cannot be written.
bool Publisher::StoreIndex(const PlannedFile& file,
                           const std::string& where,
                           const ChunkIndex& index,
                           const std::string& chunkIndex,
                           const std::string& blockIndex) {
    if (index.header.fileSize != static_cast<uint64_t>(PublishedSize(file)) || IndexedMd5(index) != file.md5) {
        Error(where + ": changed while it was being published; run again");
        return false;
    }
    // The block index first: a chunk index is only ever beside its block index.
    if (!WriteFile(indexFolder_, BlockIndexName(file.md5), blockIndex) ||
        !WriteFile(indexFolder_, ChunkIndexName(file.md5), chunkIndex))
        return false;
    ++result_.indexesWritten;
    return true;
}

// Removes the index files of MD5s not in `indexed`, temporary files left by a crashed
// run, and the manifest and the folder when nothing is indexed. Nothing else there is
// touched.
void Publisher::RemoveStaleIndexes(const fs::path& gameRoot, const std::set<std::string>& indexed) {
    indexFolder_ = SafeFolder();
    SafeFolder folder;
    if (folder.Open(gameRoot.string(), kIndexFolder, false) != SafeFolder::OpenResult::Opened)
        return;
    std::vector<std::string> stale;
    std::error_code error;
    fs::directory_iterator it(folder.path(), error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        const std::string name = it->path().filename().string();
        std::string md5;
        if ((IsOwnIndexName(name, md5) && indexed.count(md5) == 0) || (name == kIndexManifest && indexed.empty()))
            stale.push_back(name);
    }
    for (const std::string& name : stale) {
        std::string md5;
        if (folder.Remove(name) && IsOwnIndexName(name, md5) && !md5.empty())
            ++result_.indexesRemoved;
    }
    if (indexed.empty() && fs::is_empty(gameRoot / kIndexFolder, error))
        fs::remove(gameRoot / kIndexFolder, error);
}

// The list as written: as it is, or with its signature block. Empty (with an
// error) when signing fails.
std::string Publisher::ListText(const std::string& unsignedText,
                                const std::string& target,
                                std::vector<std::string> digests,
                                std::vector<int64_t> sizes,
                                const fs::path& replaced,
                                const std::vector<std::string>& mirrors) {
    if (!options_.signer)
        return unsignedText;
    if (options_.expiresDays < 1 || options_.expiresDays > 3650) {
        Error("the lifetime of a signed list must be 1 to 3650 days");
        return {};
    }
    const int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    SignedListFields fields;
    fields.version = now;
    // A client refuses a version below one it has seen: never go back, even
    // when the clock did or two publishes fall into one second.
    std::ifstream in(replaced, std::ios::binary);
    std::string previous((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SignedListFields old;
    if (ParseSignedList(previous, old) == SignedListStatus::kOk && old.version >= fields.version)
        fields.version = old.version + 1;
    fields.expires = now + int64_t{options_.expiresDays} * 86400;
    fields.target = target;
    fields.sha256 = std::move(digests);
    fields.format = options_.signedFormat;
    if (fields.format != 1) {
        fields.sizes = std::move(sizes);
        fields.mirrors = mirrors;
    }
    const std::string block = unsignedText.substr(6, unsignedText.size() - 6 - 7);  // between [data] and [/data]
    std::string signature =
        SignedListText(fields, block, [this](std::string_view message) { return options_.signer->Sign(message); });
    if (signature.empty()) {
        Error(replaced.string() + ": the list could not be signed");
        return {};
    }
    return unsignedText + signature;
}

void Publisher::NoteUnlisted() {
    std::error_code error;
    fs::directory_iterator it(root_, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::string name = it->path().filename().string();
        bool listed = std::any_of(games_.begin(), games_.end(), [&](const GamePlan& g) { return g.folder == name; });
        if (!listed && it->is_directory(error) && StartsWithListMarker(it->path() / "index.html"))
            Note(name +
                 ": published earlier but no longer in the source; it is not listed any more "
                 "(remove the folder by hand)");
    }
}

void Publisher::CheckMirrors() {
    for (size_t i = 0; i < options_.mirrors.size(); ++i) {
        const std::string& mirror = options_.mirrors[i];
        if (!IsMirrorUrl(mirror))
            Error("mirror " + Quote(mirror) + ": not an http:// or https:// URL of a host, port and path");
        else if (std::find(options_.mirrors.begin(), options_.mirrors.begin() + static_cast<long>(i), mirror) !=
                 options_.mirrors.begin() + static_cast<long>(i))
            Error("mirror " + Quote(mirror) + " is named twice");
    }
    if (options_.mirrors.size() > kMaxMirrors)
        Error("at most " + std::to_string(kMaxMirrors) + " mirrors");
    if (!options_.mirrors.empty() && options_.signer && options_.signedFormat == 1)
        Error("a signed list of format 1 cannot name mirrors; sign in format 2");
}

void Publisher::Run() {
    source_ = fs::path(options_.source);
    root_ = fs::path(options_.root);
    CheckMirrors();
    std::vector<std::string> folders;
    if (!ScanSource(folders))
        return;
    FindCacheFolder();
    for (const std::string& folder : folders)
        ScanGame(folder);
    std::map<std::string, std::string> names;
    for (const GamePlan& plan : games_) {
        auto [at, added] = names.emplace(LowerAsciiText(plan.name), plan.folder);
        if (!added)
            Error(plan.folder + ": display name " + Quote(plan.name) + " is also the name of " + Quote(at->second) +
                  "; it names the game's settings folder on Windows");
    }
    if (games_.empty() && result_.errors.empty())
        Error(Quote(options_.source) + ": holds no game folders");
    CheckRoot();
    if (!result_.errors.empty())
        return;
    std::sort(games_.begin(), games_.end(), [](const GamePlan& a, const GamePlan& b) {
        return std::make_pair(LowerAsciiText(a.name), a.folder) < std::make_pair(LowerAsciiText(b.name), b.folder);
    });
    for (const GamePlan& plan : games_)
        result_.games.push_back({plan.name, plan.folder});
    if (options_.checkOnly)
        return;

    std::error_code error;
    fs::create_directories(root_, error);
    SafeFolder rootFolder;
    if (!fs::is_directory(root_, error) ||
        rootFolder.Open(root_.string(), {}, false) != SafeFolder::OpenResult::Opened) {
        Error(Quote(options_.root) + ": cannot create the web root: " + ErrorText(error));
        return;
    }
    for (GamePlan& plan : games_)
        if (!PublishGame(plan))
            return;  // the game list stays as it was
    const std::string text = ListText(GameListText(result_.games), "/", {}, {}, root_ / "index.html");
    if (text.empty() || !WriteFile(rootFolder, "index.html", text))
        return;
    NoteUnlisted();
}

}  // namespace

std::string FileListText(const std::vector<ListedFile>& files) {
    std::vector<std::string> records;
    records.reserve(files.size());
    for (const ListedFile& file : files)
        records.push_back(file.path + ":" + file.md5);
    return ListBlockText(records);
}

std::string GameListText(const std::vector<ListedGame>& games) {
    std::vector<std::string> records;
    records.reserve(games.size());
    for (const ListedGame& game : games)
        records.push_back(game.name + ":" + game.folder);
    return ListBlockText(records);
}

std::string GameDatText(const std::string& name, const std::string& folder) {
    return name + "\r\n" + folder + "\r\n";
}

PublishResult Publish(const PublishOptions& options) {
    PublishResult result;
    try {
        Publisher(options, result).Run();
    } catch (const std::exception& fault) {
        result.errors.push_back(std::string("unexpected failure: ") + fault.what());
    }
    return result;
}

}  // namespace zefo::tools
