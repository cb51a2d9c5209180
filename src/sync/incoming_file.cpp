#include "sync/incoming_file.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "base/ascii.h"
#include "base/md5.h"
#include "net/crypto.h"
#include "sync/program_names.h"

namespace zefo {

namespace {

// Bytes are gathered to this size before they go to the file and the digests.
constexpr size_t kBlock = 256 * 1024;
// Blocks in the digests' hands at most: what a slow digest may lag behind the writing.
constexpr size_t kBlocksInFlight = 4;
// A file of unknown size whose reply announces more than the free space of its disk,
// less a margin, is refused before it starts: it could not be stored, and what
// arrived of it would be kept for a resume. The margin is left for the system and the
// program: 64 MiB, or a sixteenth of the free space where that is less (below 1 GiB).
constexpr int64_t kFreeSpaceMargin = 64 << 20;
constexpr int64_t kFreeSpaceMarginShare = 16;

}  // namespace

// The MD5 and SHA-256 of the bytes handed over, in order. Blocks are digested on the
// calling thread until a second block arrives; from then on each digest has a thread
// of its own, so that receiving and writing, MD5 and SHA-256 use different cores.
class Digester {
  public:
    Digester(bool md5, bool sha256) {
        if (md5)
            lanes_.push_back(std::make_unique<Lane>(true));
        if (sha256)
            lanes_.push_back(std::make_unique<Lane>(false));
    }
    ~Digester() { Stop(); }
    Digester(const Digester&) = delete;
    Digester& operator=(const Digester&) = delete;

    // Takes a filled block; gives back an empty one to fill next.
    std::vector<char> HandOff(std::vector<char>&& block) {
        if (lanes_.empty() || (!started_ && blocks_ == 0)) {
            for (const auto& lane : lanes_)
                lane->Digest(block);
            ++blocks_;
            block.clear();
            return std::move(block);
        }
        if (!started_) {
            started_ = true;
            for (const auto& lane : lanes_)
                lane->thread = std::thread([this, digest = lane.get()] { Run(*digest); });
        }
        std::unique_lock guard(lock_);
        changed_.wait(guard, [this] { return inFlight_ < kBlocksInFlight; });
        auto shared = std::make_shared<Block>(Block{std::move(block), lanes_.size()});
        ++inFlight_;
        for (const auto& lane : lanes_)
            lane->queue.push_back(shared);
        changed_.notify_all();
        if (!spare_.empty()) {
            std::vector<char> empty = std::move(spare_.back());
            spare_.pop_back();
            return empty;
        }
        std::vector<char> fresh;
        fresh.reserve(kBlock);
        return fresh;
    }

    // Waits for every block and gives the digests (empty where not taken).
    void Finish(std::string& md5, std::string& sha256) {
        Stop();
        md5.clear();
        sha256.clear();
        for (const auto& lane : lanes_) {
            if (lane->isMd5)
                md5 = lane->md5.FinalHex();
            else
                sha256 = lane->sha256.FinalHex();
        }
    }

  private:
    struct Block {
        std::vector<char> bytes;  // read by every lane at once, changed only once none is left
        size_t pending = 0;       // lanes yet to digest it
    };

    struct Lane {
        explicit Lane(bool takesMd5) : isMd5(takesMd5) {}
        void Digest(const std::vector<char>& block) {
            if (isMd5)
                md5.Update(block.data(), block.size());
            else
                sha256.Update(block.data(), block.size());
        }

        const bool isMd5;
        Md5 md5;
        Sha256 sha256;
        std::deque<std::shared_ptr<Block>> queue;  // guarded by the digester's lock
        std::thread thread;
    };

    void Run(Lane& lane) {
        for (;;) {
            std::shared_ptr<Block> block;
            {
                std::unique_lock guard(lock_);
                changed_.wait(guard, [&] { return !lane.queue.empty() || done_; });
                if (lane.queue.empty())
                    return;
                block = std::move(lane.queue.front());
                lane.queue.pop_front();
            }
            lane.Digest(block->bytes);
            std::lock_guard guard(lock_);
            if (--block->pending == 0) {
                block->bytes.clear();
                spare_.push_back(std::move(block->bytes));
                --inFlight_;
                changed_.notify_all();
            }
        }
    }

    void Stop() {
        if (!started_)
            return;
        {
            std::lock_guard guard(lock_);
            done_ = true;
            changed_.notify_all();
        }
        for (const auto& lane : lanes_)
            if (lane->thread.joinable())
                lane->thread.join();
    }

    std::vector<std::unique_ptr<Lane>> lanes_;
    size_t blocks_ = 0;
    bool started_ = false;  // the lanes' threads run (only the calling thread looks)
    std::mutex lock_;
    std::condition_variable changed_;
    size_t inFlight_ = 0;
    std::vector<std::vector<char>> spare_;
    bool done_ = false;
};

IncomingFile::IncomingFile() = default;

IncomingFile::~IncomingFile() {
    Discard();
}

IncomingFile::OpenResult IncomingFile::Open(const SafeFolder& folder,
                                            const std::string& name,
                                            const DownloadChecks& checks) {
    Discard();
    folder_ = &folder;
    origin_ = &folder;
    name_ = name;
    temporary_ = name + kIncomingSuffix;
    checks_ = checks;
    bool existed = false;
    switch (folder.Hold(temporary_, file_, existed)) {
        case SafeFolder::HoldResult::Held:
            break;
        case SafeFolder::HoldResult::Busy:
            folder_ = nullptr;
            return OpenResult::Busy;
        case SafeFolder::HoldResult::Failed:
            folder_ = nullptr;
            return OpenResult::Failed;
    }
    const bool md5 = IsHexText(checks.md5, 32);
    const bool sha256 = !checks.sha256.empty();
    digester_ = std::make_unique<Digester>(md5, sha256);
    buffer_.clear();
    buffer_.reserve(kBlock);
    size_ = existed ? FileSizeOf(file_) : 0;
    // Only a file whose whole content is checked at the end may go on from a leftover:
    // its earlier bytes could belong to another version of the file. One larger than
    // the signed size is no start of it.
    if (size_ > 0 && (md5 || sha256) && (checks.size < 0 || size_ <= checks.size)) {
        std::vector<char> block(kBlock);
        int64_t read = 0;
        while (read < size_) {
            const int64_t got = ReadFromFile(file_, block.data(), block.size());
            if (got <= 0)
                break;
            block.resize(static_cast<size_t>(got));
            read += got;
            block = digester_->HandOff(std::move(block));
            block.resize(kBlock);
        }
        if (read == size_ && SeekFile(file_, size_))
            return OpenResult::Ready;
    }
    return size_ == 0 || Restart() ? OpenResult::Ready : OpenResult::Failed;
}

bool IncomingFile::Restart() {
    if (!folder_ || !file_.valid())
        return false;
    // A new file, not the old one cut: whatever was linked to the old one keeps it.
    if (folder_->HoldAnew(file_, temporary_) != SafeFolder::HoldResult::Held) {
        Discard();
        return false;
    }
    digester_ = std::make_unique<Digester>(IsHexText(checks_.md5, 32), !checks_.sha256.empty());
    buffer_.clear();
    size_ = 0;
    return true;
}

bool IncomingFile::StartOver() {
    if (file_.valid())
        return Restart();
    return origin_ && Open(*origin_, name_, checks_) == OpenResult::Ready && Restart();
}

bool IncomingFile::Reopen() {
    return file_.valid() || (origin_ && Open(*origin_, name_, checks_) == OpenResult::Ready);
}

bool IncomingFile::HasRoomFor(int64_t bytes) const {
    const SafeFolder* folder = folder_ ? folder_ : origin_;
    const int64_t free = folder ? folder->FreeBytes() : -1;
    return free < 0 || bytes <= free - std::min(kFreeSpaceMargin, free / kFreeSpaceMarginShare);
}

bool IncomingFile::Append(const char* data, size_t length) {
    if (!file_.valid() || (checks_.size >= 0 && static_cast<int64_t>(length) > checks_.size - size_))
        return false;
    size_ += static_cast<int64_t>(length);
    while (length > 0) {
        const size_t take = std::min(length, kBlock - buffer_.size());
        buffer_.insert(buffer_.end(), data, data + take);
        data += take;
        length -= take;
        if (buffer_.size() == kBlock && !WriteOut())
            return false;
    }
    return true;
}

bool IncomingFile::WriteOut() {
    if (buffer_.empty())
        return true;
    if (!WriteAllToFile(file_, std::string_view(buffer_.data(), buffer_.size())))
        return false;
    buffer_ = digester_->HandOff(std::move(buffer_));
    return true;
}

bool CommittedFileIsDurable(int64_t size) {
    return SyncsWholeFileSystem() || size >= kFlushedFileSize;
}

bool IncomingFile::Commit() {
    if (!file_.valid())
        return false;
    std::string md5, sha256;
    bool ok = WriteOut();
    digester_->Finish(md5, sha256);
    if (ok && IsHexText(checks_.md5, 32))
        ok = SameHexText(md5, checks_.md5);
    // A malformed digest fails too: it was meant to be checked.
    if (ok && !checks_.sha256.empty())
        ok = IsHexText(checks_.sha256, 64) && SameHexText(sha256, checks_.sha256);
    // A file not flushed here may, after a power loss, stand short or damaged under its
    // name: the next comparison finds it and loads it again, as long as no remembered
    // fingerprint vouches for it (CommittedFileIsDurable).
    const bool flush = !SyncsWholeFileSystem() && (checks_.durable || size_ >= kFlushedFileSize);
    if (!ok || (flush && !FlushFileToDisk(file_)) || !folder_->ReplaceHeld(file_, temporary_, name_)) {
        Discard();
        return false;
    }
    file_.Reset();
    folder_ = nullptr;
    return true;
}

bool IncomingFile::CommitAssembled() {
    if (!file_.valid())
        return false;
    // What was appended before (a resumed leftover) is not what the file holds now.
    std::string md5, sha256;
    digester_->Finish(md5, sha256);
    buffer_.clear();
    size_ = FileSizeOf(file_);
    const bool flush = !SyncsWholeFileSystem() && (checks_.durable || size_ >= kFlushedFileSize);
    if (size_ < 0 || (checks_.size >= 0 && size_ != checks_.size) || (flush && !FlushFileToDisk(file_)) ||
        !folder_->ReplaceHeld(file_, temporary_, name_)) {
        Discard();
        return false;
    }
    file_.Reset();
    folder_ = nullptr;
    return true;
}

void IncomingFile::Keep() {
    // Nothing arrived, or nothing could verify a file resumed from it: nothing to keep.
    if (size_ == 0 || (!IsHexText(checks_.md5, 32) && checks_.sha256.empty()) ||
        (checks_.size >= 0 && size_ > checks_.size)) {
        Discard();
        return;
    }
    // What is kept is checked again when it is taken up: it need not reach the disk now.
    if (file_.valid())
        WriteOut();
    digester_.reset();
    file_.Reset();
    folder_ = nullptr;
}

void IncomingFile::Discard() {
    digester_.reset();
    if (folder_ && file_.valid()) {
        // Removed while still held, so that no one else's file of that name goes.
        folder_->RemoveHeld(file_, temporary_);
    }
    file_.Reset();
    folder_ = nullptr;
}

}  // namespace zefo
