// Writing below a folder whose contents others may have shaped (a game folder that a
// server fills and a user may change): every folder on the way from the base to a file
// must be a real folder, never a symbolic link, junction or other reparse point, the
// way cannot be swapped for a link while it is open, and a file is always replaced,
// never written through a link that stands in its place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/native_file.h"

namespace zefo {

// What a name in a folder is, looked at without following a link.
enum class EntryKind { Missing, File, Folder, Link, Other };

// What tells one state of a file from another without reading it. A file rewritten in
// place with the same size and its modification time set back keeps its stamp.
struct FileStamp {
    int64_t size = -1;     // -1: no stamp
    int64_t modified = 0;  // last write, in 100 ns steps since 1601 (Windows) or ns since 1970
    uint64_t volume = 0;   // the device (POSIX); 0 on Windows, where the file index stands alone
    uint64_t id = 0;       // the inode or file index, 0 when the system gives none
    bool operator==(const FileStamp&) const = default;
};

// The current time in the units of FileStamp::modified, and how many make a second.
int64_t StampNow();
int64_t StampTicksPerSecond();

// The stamp of an open regular file; false for anything else.
bool StampOf(const NativeFile& file, FileStamp& stamp);

class SafeFolder {
  public:
    enum class OpenResult { Opened, Missing, Refused };

    SafeFolder();
    ~SafeFolder();
    SafeFolder(SafeFolder&& other) noexcept;
    SafeFolder& operator=(SafeFolder&& other) noexcept;
    SafeFolder(const SafeFolder&) = delete;
    SafeFolder& operator=(const SafeFolder&) = delete;

    // Opens `base` (trusted and taken as it is) and below it the folders of `relative`
    // (components separated by "\" or "/"; empty for the base itself), creating missing
    // levels one by one when `create`. Refused when a level is a link or not a folder,
    // or cannot be made; Missing when a level does not exist and `create` is false.
    OpenResult Open(const std::string& base, const std::string& relative, bool create);
    bool IsOpen() const;
    // The folder's path, ending in a separator.
    const std::string& path() const;

    // What `name` is in this folder; `size` receives a file's size.
    EntryKind Kind(const std::string& name, int64_t* size = nullptr) const;
    // The stamp of the regular file `name`; false for anything else.
    bool Stamp(const std::string& name, FileStamp& stamp) const;
    // Opens the regular file `name` for reading (others may read, not write); nothing
    // for a link, a folder, a device or a missing name.
    NativeFile OpenForReading(const std::string& name) const;
    // Opens the existing regular file `name` for reading and writing (others may only
    // read); nothing for a link, a folder, a device or a missing name.
    NativeFile OpenForWriting(const std::string& name) const;
    // Creates `name` new for reading and writing (others may only read); fails when
    // anything stands under the name, a link included.
    NativeFile CreateNew(const std::string& name) const;
    enum class HoldResult { Held, Busy, Failed };
    // Opens the temporary file `name` for reading and writing and holds it: while it
    // is held no other program may write it (a lock, or the sharing mode on Windows).
    // An existing file is kept as it is (`existed` is then true) only when this program
    // made it: a regular file with no other name, of the effective user (POSIX) or of
    // the user or, elevated, the Administrators group (Windows), not a link. Anything
    // else under the name is removed (the name, never what it leads to) and the file
    // is made new, exclusively. Busy when another program holds it.
    HoldResult Hold(const std::string& name, NativeFile& file, bool& existed) const;
    // Removes the held file `name` and holds a new, empty file made in its place: the
    // old one is never cut in place, as a name may have been linked to it meanwhile.
    // On anything but Held `file` is closed.
    HoldResult HoldAnew(NativeFile& file, const std::string& name) const;
    // Renames the held file `from` over `to` while it is still held, so that no one
    // can write it between its last check and its new name.
    bool ReplaceHeld(const NativeFile& file, const std::string& from, const std::string& to) const;
    // Removes the held file `name` while it is still held.
    bool RemoveHeld(const NativeFile& file, const std::string& name) const;
    // Renames `from` over `to`, both in this folder. Whatever stands at `to` is
    // replaced, a link included (not what it points to); a folder is not.
    bool Replace(const std::string& from, const std::string& to) const;
    // Removes the file or link `name` (never what a link points to); true when nothing
    // is left under the name.
    bool Remove(const std::string& name) const;
    // Makes the folder's entries durable.
    void Sync() const;
    // The bytes a program may still write to the disk that holds the folder, or -1
    // when the system does not say.
    int64_t FreeBytes() const;

  private:
    struct State;  // what the platform holds of an open folder
    std::unique_ptr<State> state_;
    std::string path_;
};

// A file that takes the place of `name` in one step once it is complete: written to a
// temporary file created new beside it, flushed to disk, renamed over `name` and the
// folder flushed. Dropped without Commit, it removes its temporary file and leaves
// `name` as it was. The folder must outlive it.
class FileReplacement {
  public:
    FileReplacement() = default;
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Starts with the temporary file `temporary`; a leftover of that name from an
    // earlier run (a file or a link, never what a link points to) is removed first.
    bool Begin(const SafeFolder& folder, const std::string& name, const std::string& temporary);
    bool Write(const void* data, size_t size);
    const NativeFile& file() const { return file_; }
    // Moves the complete file over `name`. On false `name` is unchanged and the
    // temporary file is gone.
    bool Commit();

  private:
    void Discard();

    const SafeFolder* folder_ = nullptr;
    std::string name_;
    std::string temporary_;
    NativeFile file_;
};

// Replaces `name` in `folder` with `bytes` through a FileReplacement with `temporary`.
bool ReplaceFileWith(const SafeFolder& folder,
                     const std::string& name,
                     std::string_view bytes,
                     const std::string& temporary);

}  // namespace zefo
