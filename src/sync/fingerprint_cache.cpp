#include "sync/fingerprint_cache.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "base/ascii.h"
#include "base/file_system.h"
#include "base/listed_path.h"
#include "base/md5.h"
#include "base/path.h"
#include "support/trust_folder.h"
#include "sync/program_names.h"

namespace zefo {

namespace {

constexpr std::string_view kHeader = "zefo fingerprints 1";
// Nothing a game has comes near these; a file beyond them is not read.
constexpr int64_t kMaxFileSize = 256 << 20;
constexpr size_t kMaxEntries = 2'000'000;
// A file last written this close to its reading may have changed again within the
// same time stamp; such an entry is read again next time.
constexpr int kUnsureSeconds = 2;

bool ParseNumber(std::string_view& line, int64_t& value) {
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos)
        return false;
    auto [end, error] = std::from_chars(line.data(), line.data() + blank, value);
    if (error != std::errc() || end != line.data() + blank)
        return false;
    line.remove_prefix(blank + 1);
    return true;
}

// The folder and name of a cache file, split for SafeFolder.
void SplitFile(const std::string& file, std::string& folder, std::string& name) {
    size_t cut = file.size();
    while (cut > 0 && !IsPathSeparator(file[cut - 1]))
        --cut;
    folder = cut == 0 ? "." : file.substr(0, cut);
    name = file.substr(cut);
}

}  // namespace

std::shared_ptr<FingerprintCache> FingerprintCache::ForGame(const std::string& gameName,
                                                            const std::string& gameFolder) {
    // Where the program runs elevated, a cache others could write would let them keep
    // an old file as it is: with no protected folder the cache lives for this run only.
    std::string trusted = TrustFolder();
    // The name comes from a downloaded file: one plain folder name or nothing.
    if (trusted.empty() ||
        (!gameName.empty() && (!IsSafeRelativePath(gameName, kProgramNames) || !IsPlainName(gameName))))
        return std::make_shared<FingerprintCache>();
    const std::string folder = trusted + gameName + (gameName.empty() ? "" : std::string(1, trusted.back()));
    if (QueryFileSize(folder) != -2)
        EnsureDirectory(folder);
    // One file per installed folder: two copies of a game keep apart.
    Md5 md5;
    md5.Update(gameFolder.data(), gameFolder.size());
    return AtFile(folder + "files-" + md5.FinalHex().substr(0, 12) + ".cache", gameFolder);
}

std::shared_ptr<FingerprintCache> FingerprintCache::AtFile(const std::string& file, const std::string& gameFolder) {
    auto cache = std::make_shared<FingerprintCache>();
    cache->file_ = file;
    cache->identity_ = gameFolder;
    cache->Load();
    return cache;
}

void FingerprintCache::Load() {
    std::string folderPath, name;
    SplitFile(file_, folderPath, name);
    SafeFolder folder;
    int64_t size = 0;
    if (folder.Open(folderPath, "", false) != SafeFolder::OpenResult::Opened ||
        folder.Kind(name, &size) != EntryKind::File || size > kMaxFileSize)
        return;
    NativeFile input = folder.OpenForReading(name);
    std::string bytes(static_cast<size_t>(size), '\0');
    size_t filled = 0;
    while (filled < bytes.size()) {
        int64_t got = ReadFromFile(input, bytes.data() + filled, bytes.size() - filled);
        if (got <= 0)
            return;
        filled += static_cast<size_t>(got);
    }

    // Everything or nothing: one bad line makes the whole file a damaged one.
    std::map<std::string, Entry> entries;
    std::string_view rest = bytes;
    auto nextLine = [&rest](std::string_view& line) {
        size_t end = rest.find('\n');
        if (end == std::string_view::npos)
            return false;
        line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        return true;
    };
    std::string_view line;
    if (!nextLine(line) || line != kHeader || !nextLine(line) || line != identity_)
        return;
    while (!rest.empty()) {
        if (!nextLine(line) || entries.size() >= kMaxEntries)
            return;
        Entry entry;
        int64_t volume = 0, id = 0;
        if (!ParseNumber(line, entry.stamp.size) || !ParseNumber(line, entry.stamp.modified) ||
            !ParseNumber(line, volume) || !ParseNumber(line, id) || !ParseNumber(line, entry.taken) ||
            line.size() < 34 || !IsLowerHexText(line.substr(0, 32), 32) || line[32] != ' ')
            return;
        entry.stamp.volume = static_cast<uint64_t>(volume);
        entry.stamp.id = static_cast<uint64_t>(id);
        entry.md5 = std::string(line.substr(0, 32));
        std::string path(line.substr(33));
        if (!IsSafeRelativePath(path, kProgramNames))
            return;
        entries[std::move(path)] = std::move(entry);
    }
    entries_ = std::move(entries);
}

std::string FingerprintCache::Fingerprint(const SafeFolder& folder, const std::string& name, const std::string& path) {
    std::optional<Entry> known;
    {
        std::lock_guard guard(lock_);
        auto found = entries_.find(path);
        if (found != entries_.end())
            known = found->second;
    }
    // Only a remembered file is looked at by name first; every other file is opened
    // once, and its stamps before and after the reading come from the open file.
    FileStamp stamp;
    if (known && folder.Stamp(name, stamp) && known->stamp == stamp &&
        stamp.modified < known->taken - kUnsureSeconds * StampTicksPerSecond())
        return known->md5;
    const int64_t taken = StampNow();
    NativeFile file = folder.OpenForReading(name);
    FileStamp before;
    const bool stamped = StampOf(file, before);
    std::string md5 = FingerprintOf(file);
    FileStamp after;
    std::lock_guard guard(lock_);
    ++reads_;
    // A file that changed while it was read is not remembered.
    if (!md5.empty() && stamped && StampOf(file, after) && after == before) {
        entries_[path] = Entry{before, taken, md5};
        changed_ = true;
    }
    return md5;
}

void FingerprintCache::Remember(const SafeFolder& folder,
                                const std::string& name,
                                const std::string& path,
                                const std::string& md5) {
    FileStamp stamp;
    if (!IsLowerHexText(md5, 32) || !folder.Stamp(name, stamp))
        return;
    // The program wrote these bytes itself and verified them: the stamp alone decides,
    // with no margin for writes by others in the same instant.
    std::lock_guard guard(lock_);
    entries_[path] = Entry{stamp, INT64_MAX, md5};
    changed_ = true;
}

void FingerprintCache::Merge(const FingerprintCache& other) {
    std::map<std::string, Entry> entries;
    {
        std::lock_guard guard(other.lock_);
        entries = other.entries_;
    }
    std::lock_guard guard(lock_);
    for (auto& [path, entry] : entries)
        entries_[path] = std::move(entry);
    changed_ = changed_ || !entries.empty();
}

void FingerprintCache::Clear() {
    std::lock_guard guard(lock_);
    changed_ = changed_ || !entries_.empty();
    entries_.clear();
}

bool FingerprintCache::Save() {
    std::string text;
    {
        std::lock_guard guard(lock_);
        if (!changed_ || file_.empty())
            return true;
        text.reserve(64 + entries_.size() * 120);
        text.append(kHeader).append("\n").append(identity_).append("\n");
        for (const auto& [path, entry] : entries_) {
            text += std::to_string(entry.stamp.size) + ' ' + std::to_string(entry.stamp.modified) + ' ' +
                    std::to_string(static_cast<int64_t>(entry.stamp.volume)) + ' ' +
                    std::to_string(static_cast<int64_t>(entry.stamp.id)) + ' ' + std::to_string(entry.taken) + ' ' +
                    entry.md5 + ' ' + path + '\n';
        }
        changed_ = false;
    }
    std::string folderPath, name;
    SplitFile(file_, folderPath, name);
    SafeFolder folder;
    return folder.Open(folderPath, "", false) == SafeFolder::OpenResult::Opened &&
           ReplaceFileWith(folder, name, text, name + ".tmp");
}

uint64_t FingerprintCache::Reads() const {
    std::lock_guard guard(lock_);
    return reads_;
}

}  // namespace zefo
