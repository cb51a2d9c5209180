// Listed files on disk: each lies below the game (or install) folder and is reached
// only through real folders; links in its place are never followed.
#pragma once

#include <memory>
#include <string>

#include "base/safe_folder.h"

namespace zefo {

enum class LocalState {
    Same,     // a regular file with the listed fingerprint
    Differs,  // another file, a folder or a link stands in its place
    Missing,  // nothing there, or a folder on the way is missing
    Refused,  // the path may not be used, or the way holds a link or a file
};

class FingerprintCache;

// How the local copy of the listed `path` below `base` compares with `fingerprint`.
// Creates nothing and reads nothing through a link. With a cache, a file whose stamp
// it knows is not read again.
LocalState CompareListedFile(const std::string& base,
                             const std::string& path,
                             const std::string& fingerprint,
                             FingerprintCache* cache = nullptr);
// The same for `name` in a folder opened already; `path` is the listed path.
LocalState CompareInFolder(const SafeFolder& folder,
                           const std::string& name,
                           const std::string& fingerprint,
                           FingerprintCache* cache = nullptr,
                           const std::string& path = {});

// The folders of listed paths below `base`, taken one after another: the last one
// stays open, and as a list names the files of a folder together, most paths need no
// new walk from the base. A folder given out stays usable while it is held.
class ListedFolders {
  public:
    ListedFolders(std::string base, bool create) : base_(std::move(base)), create_(create) {}

    // The folder of `path` and the file's name in it; nothing when the path may not be
    // used or the way is refused, or (without `create`, `missing` then true) a level
    // does not exist.
    std::shared_ptr<const SafeFolder> Open(const std::string& path, std::string& name, bool& missing);

  private:
    std::string base_;
    bool create_;
    std::string lastFolder_;
    std::shared_ptr<const SafeFolder> last_;
};

}  // namespace zefo
