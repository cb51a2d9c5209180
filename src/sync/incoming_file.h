// A file arriving from the server. Its bytes go to one temporary file beside the target
// (its name and kIncomingSuffix of program_names.h), held so that no other program
// writes it at the same time; a temporary file left by an earlier attempt is taken up
// where it stopped. The MD5 and the SHA-256 are taken beside the writing, on a thread
// of their own once the file is large enough for that to pay. Only a complete file that
// passes its checks replaces the target, in one step; nothing partial ever does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/native_file.h"
#include "base/safe_folder.h"
#include "net/download_sink.h"

namespace zefo {

// What a download must match before it replaces the target.
struct DownloadChecks {
    std::string md5;       // 32 hexadecimal digits in any letter case; anything else is not checked
    std::string sha256;    // 64 hexadecimal digits in any letter case; empty: not checked
    std::string pin;       // for https: the server key's pin (tls.h), or empty
    int64_t size = -1;     // the publisher's signed size in bytes: nothing larger is taken or kept; -1: not known
    bool durable = false;  // on the disk before its rename, whatever its size (the program's own file)
};

// A run of downloads ends with SyncFileSystemAt (native_file.h). Where the platform
// cannot sync a file system whole, files from this size on are flushed one by one
// before their rename; smaller ones are left to the system's writing, as a flush of
// each would cost a flush of the disk's cache per file.
inline constexpr int64_t kFlushedFileSize = 1 << 20;
// Whether a committed file of `size` bytes is on the disk once the run has ended: only
// then may a remembered fingerprint vouch for it.
bool CommittedFileIsDurable(int64_t size);

class Digester;

class IncomingFile final : public DownloadSink {
  public:
    enum class OpenResult { Ready, Busy, Failed };

    IncomingFile();
    // Removes the temporary file unless it was committed or kept.
    ~IncomingFile() override;
    IncomingFile(const IncomingFile&) = delete;
    IncomingFile& operator=(const IncomingFile&) = delete;

    // Takes the temporary file of `name` in `folder` (the folder must outlive this). A
    // leftover this program made (SafeFolder::Hold) is resumed when the checks can
    // verify the whole file afterwards (an MD5 or a SHA-256 is expected) and it is not
    // larger than a signed size; otherwise a new file takes its place. Busy when
    // another program holds it.
    OpenResult Open(const SafeFolder& folder, const std::string& name, const DownloadChecks& checks);
    // The bytes it holds: where a resumed download goes on.
    int64_t size() const { return size_; }
    // Starts over in a new, empty temporary file made in place of the old one: the
    // server sends the whole file. On false the temporary file is gone.
    bool Restart();
    // Appends received bytes; false when the file did not take them, or when they
    // would make it larger than the signed size (then nothing is written).
    bool Append(const char* data, size_t length) override;
    // Verifies the whole file and moves it over the target. On false the target is
    // unchanged and the temporary file is gone.
    bool Commit() override;
    // Ends without a commit and keeps what arrived, for a later attempt to resume.
    void Keep() override;

    // The held temporary file, for bytes written at their offsets rather than appended
    // (an update assembled from ranges and local copies). Once written so, the file is
    // either committed through CommitAssembled or started over with Restart().
    const NativeFile& file() const { return file_; }
    // Moves the temporary file over the target once its caller has verified every byte
    // of it against the checks (delta_update.h reads the whole file once to do so). On
    // false the target is unchanged and the temporary file is gone.
    bool CommitAssembled();
    // Ends without a commit and removes the temporary file.
    void Discard() override;

    // As a download's sink: the bytes held, the signed size as the limit, and room on
    // the disk: the free space less 64 MiB (less a sixteenth of it where that is
    // smaller); true when the system does not say.
    int64_t held() const override { return size_; }
    int64_t limit() const override { return checks_.size; }
    bool HasRoomFor(int64_t bytes) const override;
    // Restart(), or, once the temporary file is gone (a failed commit), Open() anew
    // with what the last Open() was given and then Restart().
    bool StartOver() override;
    // Takes the temporary file up again after Keep() or a failed commit, as Open() with
    // what the last Open() was given: what was kept goes on where it stopped. True when
    // the file is held (still or again).
    bool Reopen();

  private:
    bool WriteOut();

    const SafeFolder* folder_ = nullptr;
    const SafeFolder* origin_ = nullptr;  // the folder of the last Open()
    std::string name_;
    std::string temporary_;
    DownloadChecks checks_;
    NativeFile file_;
    std::unique_ptr<Digester> digester_;
    std::vector<char> buffer_;
    int64_t size_ = 0;
};

}  // namespace zefo
