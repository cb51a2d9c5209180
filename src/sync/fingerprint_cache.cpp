#include "sync/fingerprint_cache.h"

#include <charconv>
#include <climits>
#include <optional>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "base/file_system.h"
#include "base/listed_path.h"
#include "base/md5.h"
#include "base/path.h"
#include "support/trust_folder.h"
#include "sync/program_names.h"

namespace zefo {

namespace {

// Bumped whenever the text changes meaning, so that an old file is dropped, not misread.
constexpr std::string_view kHeader = "zefo fingerprints 2\n";
// Nothing a game has comes near these; a larger file is not read.
constexpr int64_t kMaxFileSize = 256 << 20;
constexpr size_t kMaxEntries = 2'000'000;
// A file last written this close to its reading may have changed again within the
// same time stamp.
constexpr int kUnsureSeconds = 2;

std::string TextMd5(std::string_view text) {
    Md5 md5;
    md5.Update(text.data(), text.size());
    return md5.FinalHex();
}

// Splits at `separator`; the pieces view `text`.
std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

// A whole decimal number as written by std::to_string: no leading zeros, nothing after it.
template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
    if (text.empty() || (text.size() > 1 && text[0] == '0'))
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

std::string StampText(const FileStamp& stamp) {
    if (stamp.size < 0)
        return "-";
    return std::to_string(stamp.size) + ":" + std::to_string(stamp.modified) + ":" + std::to_string(stamp.volume) +
           ":" + std::to_string(stamp.id);
}

bool ParseStamp(std::string_view text, FileStamp& stamp) {
    stamp = FileStamp();
    if (text == "-")
        return true;
    std::vector<std::string_view> parts = Split(text, ':');
    return parts.size() == 4 && ParseNumber(parts[0], stamp.size) && ParseNumber(parts[1], stamp.modified) &&
           ParseNumber(parts[2], stamp.volume) && ParseNumber(parts[3], stamp.id) && stamp.size >= 0;
}

// "path TAB md5 TAB sha256-or-"-" TAB stamp TAB taken TAB published-stamp".
bool ParseRecord(std::string_view line, RememberedFiles& files) {
    std::vector<std::string_view> fields = Split(line, '\t');
    if (fields.size() != 6 || fields[0].empty())
        return false;
    for (char c : fields[0]) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    }
    RememberedFile file;
    if (!IsLowerHexText(fields[1], 32) || !(fields[2] == "-" || IsLowerHexText(fields[2], 64)) ||
        !ParseStamp(fields[3], file.stamp) || !ParseNumber(fields[4], file.taken) || file.taken < 0 ||
        !ParseStamp(fields[5], file.published))
        return false;
    file.md5 = fields[1];
    if (fields[2] != "-")
        file.sha256 = fields[2];
    return files.emplace(std::string(fields[0]), std::move(file)).second;
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

bool SettledBefore(const FileStamp& stamp, int64_t taken) {
    // `taken` is never negative (the parser sees to it), so the margin cannot overflow.
    return stamp.modified < taken - kUnsureSeconds * StampTicksPerSecond();
}

bool Vouches(const RememberedFile& entry, const FileStamp& stamp) {
    return stamp.size >= 0 && entry.stamp == stamp && SettledBefore(stamp, entry.taken);
}

std::string FingerprintCacheText(const std::string& identity, const RememberedFiles& files) {
    std::string text(kHeader);
    text.reserve(64 + files.size() * 160);
    text.append(identity).append("\n");
    for (const auto& [path, file] : files) {
        text.append(path).append("\t").append(file.md5).append("\t");
        text.append(file.sha256.empty() ? std::string("-") : file.sha256).append("\t");
        text.append(StampText(file.stamp)).append("\t").append(std::to_string(file.taken)).append("\t");
        text.append(StampText(file.published)).append("\n");
    }
    // The digest of everything above: a file cut short or changed by hand fails it.
    text += "end " + std::to_string(files.size()) + " " + TextMd5(text) + "\n";
    return text;
}

bool ParseFingerprintCache(std::string_view text, const std::string& identity, RememberedFiles& files) {
    files.clear();
    if (text.size() > static_cast<size_t>(kMaxFileSize) || text.substr(0, kHeader.size()) != kHeader ||
        text.back() != '\n')
        return false;
    // The last line is "end COUNT DIGEST".
    const size_t endLine = text.rfind('\n', text.size() - 2);
    if (endLine == std::string_view::npos || endLine < kHeader.size())
        return false;
    const std::string_view body = text.substr(0, endLine + 1);
    std::vector<std::string_view> end = Split(text.substr(endLine + 1, text.size() - endLine - 2), ' ');
    size_t count = 0;
    if (end.size() != 3 || end[0] != "end" || !ParseNumber(end[1], count) || count > kMaxEntries ||
        end[2] != TextMd5(body))
        return false;

    // A cache kept for another folder tells nothing about this one.
    size_t start = kHeader.size();
    size_t stop = body.find('\n', start);
    if (body.substr(start, stop - start) != identity)
        return false;
    for (start = stop + 1; start < body.size(); start = stop + 1) {
        stop = body.find('\n', start);
        if (!ParseRecord(body.substr(start, stop - start), files)) {
            files.clear();
            return false;
        }
    }
    if (files.size() != count) {
        files.clear();
        return false;
    }
    return true;
}

CacheFileState ReadFingerprintCache(const SafeFolder& folder,
                                    const std::string& name,
                                    const std::string& identity,
                                    RememberedFiles& files) {
    files.clear();
    int64_t size = 0;
    const EntryKind kind = folder.Kind(name, &size);
    if (kind == EntryKind::Missing)
        return CacheFileState::Missing;
    if (kind != EntryKind::File || size > kMaxFileSize)
        return CacheFileState::Dropped;
    NativeFile input = folder.OpenForReading(name);
    std::string text(static_cast<size_t>(size), '\0');
    size_t filled = 0;
    while (filled < text.size()) {
        const int64_t got = ReadFromFile(input, text.data() + filled, text.size() - filled);
        if (got <= 0)
            return CacheFileState::Dropped;
        filled += static_cast<size_t>(got);
    }
    return ParseFingerprintCache(text, identity, files) ? CacheFileState::Loaded : CacheFileState::Dropped;
}

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
    RememberedFiles entries;
    if (folder.Open(folderPath, "", false) != SafeFolder::OpenResult::Opened ||
        ReadFingerprintCache(folder, name, identity_, entries) != CacheFileState::Loaded)
        return;
    // Everything or nothing: a path no list could name makes the whole file a damaged one.
    for (const auto& [path, entry] : entries) {
        if (!IsSafeRelativePath(path, kProgramNames))
            return;
    }
    entries_ = std::move(entries);
}

std::string FingerprintCache::Fingerprint(const SafeFolder& folder, const std::string& name, const std::string& path) {
    std::optional<RememberedFile> known;
    {
        std::lock_guard guard(lock_);
        auto found = entries_.find(path);
        if (found != entries_.end())
            known = found->second;
    }
    // Only a remembered file is looked at by name first; every other file is opened
    // once, and its stamps before and after the reading come from the open file.
    FileStamp stamp;
    if (known && folder.Stamp(name, stamp) && Vouches(*known, stamp))
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
        entries_[path] = RememberedFile{before, taken, md5, {}, {}};
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
    entries_[path] = RememberedFile{stamp, INT64_MAX, md5, {}, {}};
    changed_ = true;
}

void FingerprintCache::Merge(const FingerprintCache& other) {
    RememberedFiles entries;
    {
        std::lock_guard guard(other.lock_);
        entries = other.entries_;
    }
    std::lock_guard guard(lock_);
    for (auto& [path, entry] : entries)
        entries_[path] = std::move(entry);
    changed_ = changed_ || !entries.empty();
}

void FingerprintCache::HoldIndex(const std::string& md5, const std::string& zci) {
    std::lock_guard guard(lock_);
    if (zci.size() > kMaxHeldIndexBytes - heldBytes_ || heldIndexes_.count(md5) != 0)
        return;
    heldBytes_ += zci.size();
    heldIndexes_.emplace(md5, zci);
}

std::map<std::string, std::string> FingerprintCache::TakeHeldIndexes() {
    std::lock_guard guard(lock_);
    heldBytes_ = 0;
    return std::exchange(heldIndexes_, {});
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
        text = FingerprintCacheText(identity_, entries_);
        changed_ = false;
    }
    std::string folderPath, name;
    SplitFile(file_, folderPath, name);
    SafeFolder folder;
    return folder.Open(folderPath, "", false) == SafeFolder::OpenResult::Opened &&
           ReplaceFileWith(folder, name, text, name + ".tmp");
}

bool FingerprintCache::Entry(const std::string& path, RememberedFile& entry) const {
    std::lock_guard guard(lock_);
    auto found = entries_.find(path);
    if (found == entries_.end())
        return false;
    entry = found->second;
    return true;
}

RememberedFiles FingerprintCache::Entries() const {
    std::lock_guard guard(lock_);
    return entries_;
}

uint64_t FingerprintCache::Reads() const {
    std::lock_guard guard(lock_);
    return reads_;
}

}  // namespace zefo
