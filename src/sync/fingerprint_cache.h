// Remembered fingerprints of a game's files, so that a file is read only when it has
// changed. An entry holds a file's stamp (size, time of the last write, device and file
// id) and its MD5; it counts only while the file's stamp is still the same and the
// file was last written well before it was read (a write in the same instant as the
// reading could keep its stamp). The cache is advisory: a damaged, foreign or unknown
// cache file is ignored and written anew, and nothing in it is trusted beyond that check.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/safe_folder.h"

namespace zefo {

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
    // Forgets everything remembered, so that every file is read again.
    void Clear();
    // Writes the cache back when it changed, in one step. True when nothing had to be
    // written or the write succeeded.
    bool Save();

    // Files read in full since the cache was made.
    uint64_t Reads() const;

  private:
    struct Entry {
        FileStamp stamp;
        int64_t taken = 0;  // when it was read, in stamp units
        std::string md5;
    };

    void Load();

    std::string file_;
    std::string identity_;
    mutable std::mutex lock_;
    std::map<std::string, Entry> entries_;
    bool changed_ = false;
    uint64_t reads_ = 0;
};

}  // namespace zefo
