#include "sync/remembered_indexes.h"

#include <algorithm>
#include <set>
#include <vector>

#include "base/ascii.h"
#include "base/file_system.h"
#include "base/path.h"
#include "net/crypto.h"

namespace zefo {

namespace {

constexpr std::string_view kSuffix = ".zci";
// Kept indexes are read in pieces of this size.
constexpr int64_t kReadPiece = 64 * 1024;
// More names than this in the folder are not looked at in one pruning.
constexpr size_t kMaxNames = 1 << 20;

std::string IndexName(const std::string& md5) {
    return LowerAsciiText(md5) + std::string(kSuffix);
}

bool DescribesFile(const ChunkIndexHeader& header, const std::string& md5) {
    return SameHexText(md5, HexText(std::string_view(reinterpret_cast<const char*>(header.fileMd5.data()), 16)));
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
    // Checked as it is read, without a parsed copy beside the bytes.
    ChunkIndexReader reader;
    SafeFolder folder;
    if (!IsHexText(md5, 32) || !reader.Update(zci, [](const Chunk&) {}) || !reader.Finish() ||
        !DescribesFile(reader.header(), md5) || !OpenFolder(folder, true))
        return false;
    const std::string name = IndexName(md5);
    return ReplaceFileWith(folder, name, zci, name + ".tmp");
}

bool RememberedIndexes::Find(const RememberedFile& entry, const FileStamp& stamp, ChunkIndex& index) const {
    index = ChunkIndex();
    ChunkIndex read;
    if (!Read(entry, stamp, read.header, [&read](const Chunk& chunk) { read.chunks.push_back(chunk); }))
        return false;
    MarkBlocks(read);
    index = std::move(read);
    return true;
}

bool RememberedIndexes::Read(const RememberedFile& entry,
                             const FileStamp& stamp,
                             ChunkIndexHeader& header,
                             const ChunkVisitor& each) const {
    SafeFolder folder;
    if (!IsLowerHexText(entry.md5, 32) || !Vouches(entry, stamp) || !OpenFolder(folder, false))
        return false;
    NativeFile file = folder.OpenForReading(IndexName(entry.md5));
    const int64_t size = file.valid() ? FileSizeOf(file) : -1;
    if (size < 0 || static_cast<uint64_t>(size) > MaxChunkIndexSize(static_cast<uint64_t>(stamp.size)))
        return false;
    ChunkIndexReader reader;
    std::string piece(kReadPiece, '\0');
    for (int64_t left = size; left > 0;) {
        const int64_t got = ReadFromFile(file, piece.data(), static_cast<size_t>(std::min<int64_t>(left, kReadPiece)));
        if (got <= 0 || !reader.Update(std::string_view(piece.data(), static_cast<size_t>(got)), each))
            return false;
        left -= got;
    }
    char more;
    if (ReadFromFile(file, &more, 1) != 0 || !reader.Finish() || !DescribesFile(reader.header(), entry.md5) ||
        reader.header().fileSize != static_cast<uint64_t>(stamp.size))
        return false;
    header = reader.header();
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
