#include "sync/remembered_indexes.h"

#include <set>
#include <vector>

#include "base/ascii.h"
#include "base/file_system.h"
#include "base/path.h"
#include "net/crypto.h"

namespace zefo {

namespace {

constexpr std::string_view kSuffix = ".zci";
// More names than this in the folder are not looked at in one pruning.
constexpr size_t kMaxNames = 1 << 20;

std::string IndexName(const std::string& md5) {
    return LowerAsciiText(md5) + std::string(kSuffix);
}

// The whole file `name`, at most `limit` bytes; false when it is larger or unreadable.
bool ReadBounded(const SafeFolder& folder, const std::string& name, uint64_t limit, std::string& bytes) {
    bytes.clear();
    NativeFile file = folder.OpenForReading(name);
    const int64_t size = file.valid() ? FileSizeOf(file) : -1;
    if (size < 0 || static_cast<uint64_t>(size) > limit)
        return false;
    bytes.resize(static_cast<size_t>(size));
    size_t filled = 0;
    while (filled < bytes.size()) {
        const int64_t got = ReadFromFile(file, bytes.data() + filled, bytes.size() - filled);
        if (got <= 0)
            return false;
        filled += static_cast<size_t>(got);
    }
    char more;
    return ReadFromFile(file, &more, 1) == 0;
}

bool DescribesFile(const ChunkIndex& index, const std::string& md5) {
    return SameHexText(md5, HexText(std::string_view(reinterpret_cast<const char*>(index.header.fileMd5.data()), 16)));
}

}  // namespace

RememberedIndexes::RememberedIndexes(const std::string& cacheFile) {
    size_t cut = cacheFile.size();
    while (cut > 0 && !IsPathSeparator(cacheFile[cut - 1]))
        --cut;
    std::string name = cacheFile.substr(cut);
    if (name.empty())
        return;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    base_ = cut == 0 ? "." : cacheFile.substr(0, cut);
    name_ = name + ".indexes";
    folder_ = base_ + name_;
}

bool RememberedIndexes::OpenFolder(SafeFolder& folder, bool create) const {
    return !name_.empty() && folder.Open(base_, name_, create) == SafeFolder::OpenResult::Opened;
}

bool RememberedIndexes::Keep(std::string_view zci, const std::string& md5) const {
    ChunkIndex index;
    SafeFolder folder;
    if (!IsHexText(md5, 32) || !ParseChunkIndex(zci, index) || !DescribesFile(index, md5) || !OpenFolder(folder, true))
        return false;
    const std::string name = IndexName(md5);
    return ReplaceFileWith(folder, name, zci, name + ".tmp");
}

bool RememberedIndexes::Find(const RememberedFile& entry, const FileStamp& stamp, ChunkIndex& index) const {
    index = ChunkIndex();
    SafeFolder folder;
    std::string bytes;
    if (!IsLowerHexText(entry.md5, 32) || !Vouches(entry, stamp) || !OpenFolder(folder, false) ||
        !ReadBounded(folder, IndexName(entry.md5), MaxChunkIndexSize(static_cast<uint64_t>(stamp.size)), bytes))
        return false;
    ChunkIndex read;
    if (!ParseChunkIndex(bytes, read) || !DescribesFile(read, entry.md5) ||
        read.header.fileSize != static_cast<uint64_t>(stamp.size))
        return false;
    index = std::move(read);
    return true;
}

size_t RememberedIndexes::Prune(const RememberedFiles& files) const {
    SafeFolder folder;
    if (!OpenFolder(folder, false))
        return 0;
    std::set<std::string> named;
    for (const auto& [path, entry] : files) {
        if (IsLowerHexText(entry.md5, 32))
            named.insert(IndexName(entry.md5));
    }
    size_t removed = 0;
    for (const std::string& name : FileNames(folder.path(), kMaxNames)) {
        if (named.count(name) == 0 && folder.Remove(name))
            ++removed;
    }
    return removed;
}

}  // namespace zefo
