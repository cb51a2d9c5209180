// Listed files on disk: each lies below the game (or install) folder and is reached
// only through real folders; links in its place are never followed.
#pragma once

#include <string>
#include <string_view>

#include "base/safe_folder.h"

namespace zefo {

// Fingerprint texts compared without regard to the letter case of their digits.
bool SameFingerprint(std::string_view a, std::string_view b);

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

// Opens the folder of the listed `path` below `base`, creating missing levels, and gives
// the file's name in it. False when the path may not be used or the way is refused.
bool OpenListedFolder(const std::string& base, const std::string& path, SafeFolder& folder, std::string& name);

}  // namespace zefo
