// Where each byte of a new file comes from: a plan, computed before anything is
// fetched, as a plain list of spans that covers the file in order. A span is taken
// from a local source (the old file at the same path, another file of the game, a
// temporary file left by an earlier attempt) or fetched from the server.
//
// Planning runs in steps, each a pure function of data:
// 1. PlanChunks: every chunk of the new file that a source holds (same length and
//    SHA-256) is taken from there; the rest is remote.
// 2. BlockSearches, then FindBlocks for each: inside the remote chunks, the blocks
//    whose bytes a nearby region of a source holds (found by the block index's rolling
//    weak sums, confirmed by the strong hash); WithLocalSpans puts them into the plan.
// 3. MergeRemote: remote spans with small local gaps between them become one range.
// Nothing here reads a file except through the ReadLocal callback it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "sync/chunk_index.h"

namespace zefo {

// The source of spans fetched from the server.
constexpr uint32_t kRemoteSource = 0xffffffff;
// How far beyond the length of a run of missing chunks its blocks are searched for, on
// each side of it.
constexpr uint64_t kDefaultRegionSlack = 64 * 1024;
// Local gaps shorter than this between remote spans are fetched too: about what the
// request and reply heads of one more range cost.
constexpr uint64_t kDefaultMergeGap = 512;

struct Span {
    uint64_t offset = 0;  // in the new file
    uint64_t length = 0;
    uint32_t source = kRemoteSource;
    uint64_t sourceOffset = 0;  // in the source; for remote spans the same as `offset`

    bool remote() const { return source == kRemoteSource; }
    bool operator==(const Span&) const = default;
};
using Plan = std::vector<Span>;

// A chunk of the new file that a local file holds: where it lies there, and the first
// chunk of the new file with its bytes (ChunkLookup::Find).
struct HeldChunk {
    uint64_t offset = 0;
    uint32_t chunk = 0;

    bool operator==(const HeldChunk&) const = default;
};

// A local file and the chunks of the new file it holds, in the order of their offsets
// in it. Its other chunks are not kept.
struct LocalSource {
    uint32_t id = 0;
    uint64_t size = 0;
    std::vector<HeldChunk> chunks;
};

// Adds `chunk` of `source` (a chunk at its offset there) when the new file of `target`
// has one with its bytes and it lies within the source's size. Chunks are added in
// the order of their offsets.
void Hold(LocalSource& source, const ChunkLookup& target, const Chunk& chunk);
// The source `id` of `size` bytes cut into `chunks`, as far as the new file has them.
LocalSource SourceOf(uint32_t id, uint64_t size, const std::vector<Chunk>& chunks, const ChunkLookup& target);

// Reads `length` bytes of source `source` at `offset` into `out`; false when it cannot.
using ReadLocal = std::function<bool(uint32_t source, uint64_t offset, size_t length, uint8_t* out)>;

// The plan at chunk level for the file of `target` chunks. A chunk held by several
// sources is taken from the one that continues the span before it, else from the
// first source in the order given (the caller's preference).
Plan PlanChunks(const ChunkLookup& target, const std::vector<LocalSource>& sources);

// The chunks of `target` that a temporary file of `size` bytes already holds at their
// final offsets (read through `read` as source `id`, each checked by its SHA-256).
LocalSource VerifyAtFinalOffsets(uint32_t id, uint64_t size, const ChunkLookup& target, const ReadLocal& read);

// A region of a source to search for blocks.
struct Region {
    uint32_t source = 0;
    uint64_t offset = 0;
    uint64_t length = 0;

    bool operator==(const Region&) const = default;
};

// A run of remote chunks of the plan and where their bytes may lie: after the local
// span before the run and before the local span after it, in their sources, as far as
// the run's length and `slack` bytes more (one region where the two meet).
struct BlockSearch {
    size_t firstChunk = 0;
    size_t chunkCount = 0;
    std::vector<Region> regions;
};

// The searches for a plan made by PlanChunks from these sources.
std::vector<BlockSearch> BlockSearches(const Plan& plan,
                                       const ChunkList& target,
                                       const std::vector<LocalSource>& sources,
                                       uint64_t slack);

// The blocks of the search's chunks (their records in `records`, in order) found in its
// regions, as local spans in the order of the new file. Regions are read in windows of
// at most `window` bytes.
std::vector<Span> FindBlocks(const BlockSearch& search,
                             const ChunkList& target,
                             const std::vector<BlockRecord>& records,
                             uint32_t blockSize,
                             const ReadLocal& read,
                             size_t window = size_t{1} << 20);

// `plan` with the bytes that `found` covers taken from the sources it names (spans of
// `found` that do not lie in one remote span are left out).
Plan WithLocalSpans(const Plan& plan, std::vector<Span> found);

// `plan` with every run of local spans shorter than `gap` bytes between two remote
// spans fetched too, and adjacent remote spans joined: fewer ranges for a few more bytes.
Plan MergeRemote(const Plan& plan, uint64_t gap);

struct PlanTotals {
    uint64_t remoteBytes = 0;
    uint64_t localBytes = 0;
    uint64_t remoteRanges = 0;
    uint64_t localSpans = 0;
};
PlanTotals Totals(const Plan& plan);

// True when `plan` covers `fileSize` bytes from 0 in order, with no empty span, and
// every local span lies within its source's size.
bool PlanCovers(const Plan& plan, uint64_t fileSize, const std::vector<LocalSource>& sources);

}  // namespace zefo
