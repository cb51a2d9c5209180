// Updating a changed file from what the disk already holds. The new file's chunk index,
// once it agrees with the file list, and the local files that may hold its bytes make a
// plan (delta_plan.h); the plan's remote ranges are fetched into the temporary file at
// their offsets, in any order and at once; then one pass in file order copies the local
// spans and reads every byte of the file once to check it. Any surprise ends the update
// with a result of its own, and the caller then downloads the whole file, once.
//
// Nothing here speaks HTTP: ranges come through a FetchRange callback that the caller
// backs with its connections.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/native_file.h"
#include "sync/chunk_index.h"
#include "sync/delta_plan.h"
#include "sync/incoming_file.h"

namespace zefo {

enum class DeltaResult {
    Done = 0,
    IndexMismatch,  // the index does not describe the listed file
    FetchFailed,    // a range did not come, or not with exactly its length
    ChunkMismatch,  // a chunk the plan did not find whole on the disk lacks its SHA-256
    FileMismatch,   // the assembled file lacks the listed MD5 or SHA-256
    LocalFailed,    // a local file could not be read, or the temporary file written
};

// True when `header` describes the listed file: the same MD5 (which the listing must
// give), size when the listing gives one, and SHA-256 when the listing gives one.
bool CheckIndexAgainstListing(const ChunkIndexHeader& header, const DownloadChecks& listed);

// Where the bytes of one fetched range go, in order from the range's start.
class RangeWriter {
  public:
    virtual ~RangeWriter() = default;
    // Takes the next bytes; false when they run past the range or cannot be stored.
    virtual bool Write(const void* data, size_t size) = 0;
};

// A range's bytes appended to a text, which holds at most the range's length.
class TextRangeWriter final : public RangeWriter {
  public:
    TextRangeWriter(std::string& text, uint64_t length) : text_(text), length_(length) {}
    bool Write(const void* data, size_t size) override;

  private:
    std::string& text_;
    const uint64_t length_;
};

// Fetches the bytes [offset, offset + length) of a file on the server into `out`:
// 0 when all of them came, anything else when not.
using FetchRange = std::function<int(uint64_t offset, uint64_t length, RangeWriter& out)>;

// Fetches `ranges` of a file, each into its text of `out` (as many as there are
// ranges): per range 0 when all of its bytes came, anything else when not. The results
// may stop short after a range that failed. The ranges may be fetched at once.
using FetchRanges =
    std::function<std::vector<int>(const std::vector<ByteRange>& ranges, std::vector<std::string>& out)>;

// The local files a plan may take bytes from, open for reading (the caller keeps them
// open until the file is assembled). Sources added first are preferred for chunks
// that several hold.
class DeltaSources {
  public:
    // For the new file of `index`, which must outlive this.
    explicit DeltaSources(const ChunkIndex& index) : index_(index), lookup_(index.chunks) {}

    // The file at the new file's path. Its chunks come from `remembered` (a feed of its
    // own remembered index, remembered_indexes.h, read without being held whole) when
    // that is of its size and cut with the new index's parameters, else from chunking
    // it now with them. False when it cannot be read (then it is no source). A file
    // being healed, whose bytes may no longer be what its stamp vouches for, comes
    // without its remembered index (an empty feed): its intact chunks are found by
    // chunking it. Either way only the chunks the new file has are kept.
    bool AddOldFile(const NativeFile& file, const ChunkFeed& remembered);
    // Another file of the game with its remembered index: a file renamed or copied.
    // False when the index is not of its size (then it is no source).
    bool AddIndexedFile(const NativeFile& file, const ChunkFeed& remembered);
    bool AddIndexedFile(const NativeFile& file, const ChunkIndex& remembered) {
        return AddIndexedFile(file, FeedOf(remembered));
    }
    // The temporary file the new file is assembled in, as an earlier attempt left it:
    // each chunk it holds at its final offset (checked by its SHA-256) stays there.
    void AddLeftover(const NativeFile& temporary);

    const std::vector<LocalSource>& sources() const { return sources_; }
    // The new file's chunks by their bytes.
    const ChunkLookup& lookup() const { return lookup_; }
    // Reads source bytes; true only when all of them were read.
    ReadLocal Reader() const;
    // The leftover's source id, or kRemoteSource when there is none.
    uint32_t leftover() const { return leftover_; }
    const NativeFile* file(uint32_t id) const { return id < files_.size() ? files_[id] : nullptr; }

  private:
    uint32_t Add(const NativeFile& file, LocalSource source);
    // The chunks of the new file that `remembered` says a file of `size` bytes holds
    // (about `expected` of them); false, with `out` empty, when the feed fails or its
    // index is not of that size or `chunker`'s.
    bool HeldByIndex(const ChunkFeed& remembered,
                     uint64_t size,
                     const ChunkerParams* chunker,
                     size_t expected,
                     LocalSource& out) const;

    const ChunkIndex& index_;
    ChunkLookup lookup_;
    std::vector<const NativeFile*> files_;  // by source id
    std::vector<LocalSource> sources_;
    uint32_t leftover_ = kRemoteSource;
};

// More block searches than this (each a request for block records) are not made: the
// chunks of the rest are fetched whole.
constexpr size_t kMaxBlockSearches = 1024;

struct DeltaPlan {
    Plan plan;                        // covers the new file in order
    std::vector<ByteRange> remote;    // its remote ranges in file order
    std::vector<bool> checkedChunks;  // per chunk of the index: not found whole on the disk
    uint64_t blockRecordBytes = 0;    // block records fetched while planning
    uint64_t blockRecordRequests = 0;
};

// The plan of the new file of `index` over `sources`: whole chunks first, then the
// blocks of the chunks still missing, their records fetched as ranges of the new file's
// block index through `blockRecords` (none: whole chunks only; a range that fails or
// comes short ends the block search, and the chunks left are fetched whole). Runs of
// local bytes shorter than `mergeGap` between remote ranges are fetched too.
DeltaPlan PlanDelta(const ChunkIndex& index,
                    const DeltaSources& sources,
                    const FetchRange& blockRecords,
                    uint64_t mergeGap = kDefaultMergeGap);
// The same with the block records of every search asked for at once; the searches up to
// the first whose records did not come whole count.
DeltaPlan PlanDeltaAtOnce(const ChunkIndex& index,
                          const DeltaSources& sources,
                          const FetchRanges& blockRecords,
                          uint64_t mergeGap = kDefaultMergeGap);

// Fetches `range` of the new file into `temporary` at its offset through `fetch`. Done,
// or FetchFailed when the fetch fails or its bytes do not fill the range exactly. Calls
// for the different ranges of one plan may run at once, in any order.
DeltaResult FetchInto(const NativeFile& temporary, const ByteRange& range, const FetchRange& fetch);

// Once every remote range of `plan` is in `temporary`: copies the local spans in file
// order, cuts the file to its size and reads every byte once, checking the chunks that
// were not found whole on the disk by their SHA-256 and the whole file by the listed
// MD5 (and SHA-256 when listed). On Done the temporary file holds the new file.
DeltaResult AssembleDelta(const ChunkIndex& index,
                          const DeltaPlan& plan,
                          const DeltaSources& sources,
                          const NativeFile& temporary,
                          const DownloadChecks& listed);

// What an update by `plan` costs against downloading the whole file.
struct DeltaBytes {
    uint64_t fileSize = 0;    // the whole file
    uint64_t fetched = 0;     // bytes of the file fetched
    uint64_t ranges = 0;      // requests for them
    uint64_t indexBytes = 0;  // the chunk index and the block records fetched
    uint64_t reused = 0;      // bytes taken from local files

    // Everything fetched.
    uint64_t total() const { return fetched + indexBytes; }
};
DeltaBytes CountDeltaBytes(const ChunkIndex& index, const DeltaPlan& plan);

}  // namespace zefo
