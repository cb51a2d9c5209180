#include "publish/publish_indexes.h"

#include <algorithm>
#include <cstring>

#include "net/crypto.h"
#include "sync/chunk_index.h"

namespace zefo::tools {

namespace {

constexpr size_t kMd5Digits = 32;

bool IsLowerMd5(std::string_view text) {
    return text.size() == kMd5Digits && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

std::string IndexManifestText(std::vector<IndexedFile> files) {
    std::sort(files.begin(), files.end(), [](const IndexedFile& a, const IndexedFile& b) { return a.md5 < b.md5; });
    std::string text;
    for (size_t i = 0; i < files.size(); ++i)
        if (i == 0 || files[i].md5 != files[i - 1].md5)
            text += files[i].md5 + " " + std::to_string(files[i].size) + "\n";
    return text;
}

std::string ChunkIndexName(const std::string& md5) {
    return md5 + ".zci";
}

std::string BlockIndexName(const std::string& md5) {
    return md5 + ".zcb";
}

bool IsOwnIndexName(const std::string& name, std::string& md5) {
    md5.clear();
    std::string_view text = name;
    // Temporary files: "." + the name + ".zefo-tmp".
    if (text.size() > 1 && text[0] == '.' && EndsWith(text, ".zefo-tmp")) {
        text = text.substr(1, text.size() - 1 - 9);
        std::string ignored;
        return text == kIndexManifest || IsOwnIndexName(std::string(text), ignored);
    }
    if (text.size() != kMd5Digits + 4 || !(EndsWith(text, ".zci") || EndsWith(text, ".zcb")) ||
        !IsLowerMd5(text.substr(0, kMd5Digits)))
        return false;
    md5 = std::string(text.substr(0, kMd5Digits));
    return true;
}

bool IndexFits(std::string_view zci, int64_t zcbSize, const std::string& md5, int64_t size) {
    ChunkIndex index;
    const std::string md5Bytes = HexBytes(md5);
    if (size < 0 || zcbSize < 0 || md5Bytes.size() != 16 || !ParseChunkIndex(zci, index))
        return false;
    const ChunkIndexHeader& header = index.header;
    return header.chunker == ChunkerParams{} && header.blockSize == kDefaultBlockSize &&
           header.fileSize == static_cast<uint64_t>(size) &&
           std::memcmp(header.fileMd5.data(), md5Bytes.data(), 16) == 0 &&
           BlockIndexSize(index) == static_cast<uint64_t>(zcbSize);
}

}  // namespace zefo::tools
