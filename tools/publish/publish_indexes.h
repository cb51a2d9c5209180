// The chunk indexes the publisher keeps beside a game's files, so that a client can fetch
// only the changed bytes of a big file. They live in the hidden folder ".zefo" of the
// game's web folder, where no published file can be (names beginning with "." are never
// published):
//
//   .zefo/<md5>.zci   the chunk index of the file whose lowercase MD5 is <md5>
//   .zefo/<md5>.zcb   its block index
//   .zefo/indexes     one line "<md5> <size>" per indexed file, sorted by MD5
//
// Named by content, an index serves every file with those bytes, however renamed, and
// stays valid while the file does not change.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zefo::tools {

constexpr char kIndexFolder[] = ".zefo";
constexpr char kIndexManifest[] = "indexes";
// Files smaller than this get no index: below it an index and its requests cost about
// what fetching the whole file does (docs/performance.md).
constexpr int64_t kDefaultIndexMinSize = int64_t{1} << 20;

struct IndexedFile {
    std::string md5;  // 32 lowercase hexadecimal digits
    int64_t size = 0;
};

// The manifest's text: "<md5> <size>" and LF for each file, sorted, one line per MD5.
std::string IndexManifestText(std::vector<IndexedFile> files);

// The names of a file's indexes.
std::string ChunkIndexName(const std::string& md5);
std::string BlockIndexName(const std::string& md5);
// True when `name` is one of the names above (its MD5 in `md5`), or a temporary file the
// publisher writes one of them or the manifest through (`md5` then empty): the names in
// the index folder the publisher may remove.
bool IsOwnIndexName(const std::string& name, std::string& md5);

// True when `zci` is a sound chunk index of the file with MD5 `md5` and `size` bytes, in
// the parameters the publisher writes, and `zcbSize` the size of the block index it counts.
bool IndexFits(std::string_view zci, int64_t zcbSize, const std::string& md5, int64_t size);

}  // namespace zefo::tools
