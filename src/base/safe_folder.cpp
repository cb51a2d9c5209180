#include "base/safe_folder.h"

namespace zefo {

bool SafeFolder::IsOpen() const {
    return state_ != nullptr;
}

const std::string& SafeFolder::path() const {
    return path_;
}

FileReplacement::~FileReplacement() {
    Discard();
}

bool FileReplacement::Begin(const SafeFolder& folder, const std::string& name, const std::string& temporary) {
    Discard();
    if (!folder.Remove(temporary))
        return false;
    file_ = folder.CreateNew(temporary);
    if (!file_.valid())
        return false;
    folder_ = &folder;
    name_ = name;
    temporary_ = temporary;
    return true;
}

bool FileReplacement::Write(const void* data, size_t size) {
    return file_.valid() && WriteAllToFile(file_, std::string_view(static_cast<const char*>(data), size));
}

bool FileReplacement::Commit() {
    if (!folder_ || !file_.valid())
        return false;
    // The data reaches the disk before the name does, so that a power loss never
    // leaves a short file under the final name.
    bool ok = FlushFileToDisk(file_);
    file_.Reset();  // an open file cannot be renamed on Windows
    if (ok && folder_->Replace(temporary_, name_)) {
        folder_->Sync();
        folder_ = nullptr;
        return true;
    }
    Discard();
    return false;
}

void FileReplacement::Discard() {
    file_.Reset();
    if (folder_)
        folder_->Remove(temporary_);
    folder_ = nullptr;
}

bool ReplaceFileWith(const SafeFolder& folder,
                     const std::string& name,
                     std::string_view bytes,
                     const std::string& temporary) {
    FileReplacement file;
    return file.Begin(folder, name, temporary) && file.Write(bytes.data(), bytes.size()) && file.Commit();
}

}  // namespace zefo
