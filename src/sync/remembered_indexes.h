// Copies of the chunk indexes of files the program committed, kept so that the next
// update of a file unchanged since needs no chunking of it: in a folder beside the
// fingerprint cache, one file per content named by its MD5 ("<md5>.zci"), reached
// through the cache's entries (path, stamp, MD5). A kept index is a hint only: it is
// read again with the strict reader and used only while the cache vouches for the
// file's stamp and the index names the MD5 and size the cache remembers. Indexes no
// entry names any more are removed, so the folder holds at most one per file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/safe_folder.h"
#include "sync/chunk_index.h"
#include "sync/fingerprint_cache.h"

namespace zefo {

class RememberedIndexes {
  public:
    // The indexes kept beside the cache file `cacheFile` (FingerprintCache::file()), in
    // a folder named after it with ".indexes" in place of its extension. With an empty
    // name nothing is kept.
    explicit RememberedIndexes(const std::string& cacheFile);

    // The folder's path, or empty.
    const std::string& folder() const { return folder_; }

    // Keeps `zci`, the chunk index of a committed file whose MD5 is `md5`. False when
    // the bytes are no sound index of such a file or cannot be written.
    bool Keep(std::string_view zci, const std::string& md5) const;
    // The index kept for a file that the cache's `entry` remembers and whose stamp is
    // `stamp` now (taken from the file opened for reading); false when the entry does
    // not vouch for the file, or no sound index of it is kept.
    bool Find(const RememberedFile& entry, const FileStamp& stamp, ChunkIndex& index) const;
    // The same index read in pieces, without being held whole: its header into
    // `header`, each chunk to `each` in order. False as Find is; the chunks handed on
    // then count for nothing.
    bool Read(const RememberedFile& entry,
              const FileStamp& stamp,
              ChunkIndexHeader& header,
              const ChunkVisitor& each) const;
    // Removes every kept index that no entry of `files` names by its MD5, and anything
    // else in the folder. The number of files removed.
    size_t Prune(const RememberedFiles& files) const;

  private:
    bool OpenFolder(SafeFolder& folder, bool create) const;

    std::string base_;  // the folder that holds the cache file
    std::string name_;  // the indexes' folder in it
    std::string folder_;
};

}  // namespace zefo
