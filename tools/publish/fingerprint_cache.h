// The publisher's fingerprint cache: what it learnt about one game's files on its
// last run, so that a republish reads only the files whose stamp changed. One text
// file per game; advisory: a file that fails any check (damaged, cut short, written
// for another source folder) is dropped whole, never trusted in part.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "publish/publish_platform.h"

namespace zefo::tools {

// Larger cache files are not read: a game of a million files needs far less.
constexpr size_t kMaxFingerprintCacheBytes = 256u << 20;

struct CachedFile {
    FileStamp source;     // the source file as it was read; size -1: none
    std::string md5;      // 32 lowercase hexadecimal digits
    std::string sha256;   // 64 lowercase hexadecimal digits, or empty when not taken
    FileStamp published;  // the copy in the web root as it was written or checked; size -1: none
};

// Listed path -> what is known about it.
using FingerprintCache = std::map<std::string, CachedFile>;

// The cache file's text for the game whose source folder is `sourceFolder`.
std::string FingerprintCacheText(const std::string& sourceFolder, const FingerprintCache& files);
// The entries of `text` when it passes every check and was written for `sourceFolder`;
// false, with `files` empty, otherwise.
bool ParseFingerprintCache(std::string_view text, const std::string& sourceFolder, FingerprintCache& files);

}  // namespace zefo::tools
