// Remembered fingerprints of files, so that a file is read only when it has changed: of
// an installed game's files for the client, of a game's source files and their published
// copies for the publisher. An entry holds a file's stamp (size, time of the last write,
// device and file id), when it was read and its MD5; it counts only while the file's
// stamp is still the same and the file was last written well before it was read (a
// write in the same instant as the reading could keep its stamp). A cache file is
// advisory: one that is damaged, cut short, of another format or kept for another
// folder is dropped whole and written anew, and nothing in it is trusted beyond that.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/safe_folder.h"

namespace zefo {

// What is remembered of one file.
struct RememberedFile {
    FileStamp stamp;      // the file when it was read; size -1: none, nothing to vouch for
    int64_t taken = 0;    // when it was read, in stamp units; INT64_MAX: written and verified by the program
    std::string md5;      // 32 lowercase hexadecimal digits
    std::string sha256;   // 64 lowercase hexadecimal digits, or empty when not taken
    FileStamp published;  // the publisher's copy in its web root as it wrote or checked it; size -1: none
};

// Listed path -> what is remembered of its file.
using RememberedFiles = std::map<std::string, RememberedFile>;

// True when a file with `stamp`, read at `taken` (stamp units), had been last written
// well before: a later write within the clock's step can no longer keep its stamp.
bool SettledBefore(const FileStamp& stamp, int64_t taken);
// True when `entry` vouches for a file whose stamp is `stamp` now.
bool Vouches(const RememberedFile& entry, const FileStamp& stamp);

// The text of a cache file kept for `identity` (the folder whose files it remembers),
// written whole in one step (ReplaceFileWith) by its owner.
std::string FingerprintCacheText(const std::string& identity, const RememberedFiles& files);
// The entries of `text` when it passes every check and was kept for `identity`; false,
// with `files` empty, otherwise.
bool ParseFingerprintCache(std::string_view text, const std::string& identity, RememberedFiles& files);

enum class CacheFileState {
    Loaded,   // read and checked
    Missing,  // nothing stands under the name
    Dropped,  // something does, but not a cache file kept for the identity
};
// Reads the cache file `name` in `folder` kept for `identity` into `files` (empty unless Loaded).
CacheFileState ReadFingerprintCache(const SafeFolder& folder,
                                    const std::string& name,
                                    const std::string& identity,
                                    RememberedFiles& files);

// The client's cache of one installed game, shared by the threads of a check or an update.
class FingerprintCache {
  public:
    // A cache that is not kept anywhere: it remembers for its own life only.
    FingerprintCache() = default;
    // The cache of the game `gameName` installed in `gameFolder` (a full path), kept in
    // the trust folder (trust_folder.h) under the game's name: one file per installed
    // folder. Not kept anywhere when there is no trust folder.
    static std::shared_ptr<FingerprintCache> ForGame(const std::string& gameName, const std::string& gameFolder);
    // The same for a cache file of one's own choice (tests, tools).
    static std::shared_ptr<FingerprintCache> AtFile(const std::string& file, const std::string& gameFolder);

    // The MD5 of the file `name` in `folder`, listed as `path`: the remembered one while
    // the file's stamp matches, else read (and remembered). Empty when the file cannot
    // be read.
    std::string Fingerprint(const SafeFolder& folder, const std::string& name, const std::string& path);
    // Remembers `md5` for the file `name` in `folder` as it stands now (after a download
    // that verified it).
    void Remember(const SafeFolder& folder, const std::string& name, const std::string& path, const std::string& md5);
    // Takes over what `other` remembers (a cache filled before its game was known).
    void Merge(const FingerprintCache& other);
    // Holds `zci`, the chunk index of a committed file whose MD5 is `md5`, in a cache that
    // is kept nowhere (yet): its owner keeps the indexes once the cache has a place
    // (remembered_indexes.h). At most kMaxHeldIndexBytes in all; past them, indexes are
    // let go (their files are chunked when they are next updated).
    void HoldIndex(const std::string& md5, const std::string& zci);
    // The indexes held (MD5 -> index), given up.
    std::map<std::string, std::string> TakeHeldIndexes();
    static constexpr size_t kMaxHeldIndexBytes = size_t{64} << 20;

    // Forgets everything remembered, so that every file is read again.
    void Clear();
    // Writes the cache back when it changed, in one step. True when nothing had to be
    // written or the write succeeded.
    bool Save();

    // What is remembered of the listed `path`; false when nothing is.
    bool Entry(const std::string& path, RememberedFile& entry) const;
    // Everything remembered.
    RememberedFiles Entries() const;
    // The file it is kept in, or empty when it is kept nowhere.
    const std::string& file() const { return file_; }

    // Files read in full since the cache was made.
    uint64_t Reads() const;

  private:
    void Load();

    std::string file_;
    std::string identity_;
    mutable std::mutex lock_;
    RememberedFiles entries_;
    bool changed_ = false;
    uint64_t reads_ = 0;
    std::map<std::string, std::string> heldIndexes_;  // guarded by lock_, as is the count below
    size_t heldBytes_ = 0;
};

}  // namespace zefo
