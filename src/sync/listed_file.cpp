#include "sync/listed_file.h"

#include "base/ascii.h"
#include "base/file_system.h"
#include "base/listed_path.h"
#include "base/path.h"
#include "sync/fingerprint_cache.h"
#include "sync/program_names.h"

namespace zefo {

namespace {

// The listed path split into its folder part and its file name.
void SplitListedPath(const std::string& path, std::string& folder, std::string& name) {
    size_t cut = path.size();
    while (cut > 0 && !IsPathSeparator(path[cut - 1]))
        --cut;
    folder = path.substr(0, cut);
    name = path.substr(cut);
}

}  // namespace

LocalState CompareInFolder(const SafeFolder& folder,
                           const std::string& name,
                           const std::string& fingerprint,
                           FingerprintCache* cache,
                           const std::string& path) {
    switch (folder.Kind(name)) {
        case EntryKind::Missing:
            return LocalState::Missing;
        case EntryKind::File:
            break;
        default:
            return LocalState::Differs;
    }
    std::string local = cache ? cache->Fingerprint(folder, name, path) : FingerprintOf(folder.OpenForReading(name));
    return !local.empty() && SameHexText(local, fingerprint) ? LocalState::Same : LocalState::Differs;
}

LocalState CompareListedFile(const std::string& base,
                             const std::string& path,
                             const std::string& fingerprint,
                             FingerprintCache* cache) {
    if (!IsSafeRelativePath(path, kProgramNames))
        return LocalState::Refused;
    std::string folderPart, name;
    SplitListedPath(path, folderPart, name);
    SafeFolder folder;
    switch (folder.Open(base, folderPart, false)) {
        case SafeFolder::OpenResult::Opened:
            return CompareInFolder(folder, name, fingerprint, cache, path);
        case SafeFolder::OpenResult::Missing:
            return LocalState::Missing;
        case SafeFolder::OpenResult::Refused:
            break;
    }
    return LocalState::Refused;
}

std::shared_ptr<const SafeFolder> ListedFolders::Open(const std::string& path, std::string& name, bool& missing) {
    missing = false;
    if (!IsSafeRelativePath(path, kProgramNames))
        return nullptr;
    std::string folderPart;
    SplitListedPath(path, folderPart, name);
    if (!last_ || folderPart != lastFolder_) {
        auto folder = std::make_shared<SafeFolder>();
        switch (folder->Open(base_, folderPart, create_)) {
            case SafeFolder::OpenResult::Opened:
                break;
            case SafeFolder::OpenResult::Missing:
                missing = true;
                return nullptr;
            case SafeFolder::OpenResult::Refused:
                return nullptr;
        }
        last_ = std::move(folder);
        lastFolder_ = std::move(folderPart);
    }
    return last_;
}

}  // namespace zefo
