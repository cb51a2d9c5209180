// The chunk index reader over any bytes, and the block record reader. An index that
// reads: its header alone reads the same, every field is within the format's bounds,
// its chunks cut the file from 0 to its size as the parameters allow, it writes back
// to exactly the bytes it was read from, and the block records of its chunks lie end
// to end in a block index of the size it names. A refused index leaves nothing behind.
// Plans over an index that reads: against the file itself, one span taking all of it
// in place; against the file with every other chunk missing, spans that cover the new
// file and searches whose regions lie within the old one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "sync/chunk_index.h"
#include "sync/delta_plan.h"

namespace {

void CheckAccepted(std::string_view bytes, const zefo::ChunkIndex& index) {
    const zefo::ChunkIndexHeader& header = index.header;
    zefo::ChunkIndexHeader alone;
    FUZZ_CHECK(zefo::ParseChunkIndexHeader(bytes, alone) && alone == header);
    FUZZ_CHECK(zefo::ValidChunkerParams(header.chunker));
    FUZZ_CHECK(header.blockSize >= zefo::kMinBlockSize && header.blockSize <= zefo::kMaxBlockSize);
    FUZZ_CHECK(header.chunkCount == index.chunks.size() && header.chunkCount <= zefo::kMaxChunkCount);
    FUZZ_CHECK(bytes.size() == zefo::kChunkIndexHeaderSize + index.chunks.size() * zefo::kChunkRecordSize);
    FUZZ_CHECK(bytes.size() <= zefo::MaxChunkIndexSize(header.fileSize));

    uint64_t at = 0;
    FUZZ_CHECK(zefo::FirstBlock(index, 0) == 0);
    for (size_t i = 0; i < index.chunks.size(); ++i) {
        const zefo::Chunk chunk = index.chunks[i];
        FUZZ_CHECK(chunk.offset == at && chunk.length >= 1 && chunk.length <= header.chunker.maxSize);
        FUZZ_CHECK(i + 1 == index.chunks.size() || chunk.length >= header.chunker.minSize);
        const zefo::ByteRange range = zefo::BlockRecordRange(index, i, 1);
        FUZZ_CHECK(range.offset == zefo::FirstBlock(index, i) * zefo::kBlockRecordSize);
        FUZZ_CHECK(range.length == zefo::BlocksOf(chunk.length, header.blockSize) * zefo::kBlockRecordSize);
        at = chunk.end();
    }
    FUZZ_CHECK(at == header.fileSize);
    FUZZ_CHECK(zefo::BlockRecordRange(index, 0, index.chunks.size()).length == zefo::BlockIndexSize(index));
    FUZZ_CHECK(zefo::ChunkIndexBytes(index) == bytes);

    // The file against itself.
    const zefo::ChunkLookup lookup(index.chunks);
    const std::vector<zefo::Chunk> all(index.chunks.begin(), index.chunks.end());
    const std::vector<zefo::LocalSource> itself = {zefo::SourceOf(7, header.fileSize, all, lookup)};
    const zefo::Plan plan = zefo::PlanChunks(lookup, itself);
    const zefo::Plan whole = {{0, header.fileSize, 7, 0}};
    FUZZ_CHECK(header.fileSize == 0 ? plan.empty() : plan == whole);

    // Every other chunk gone.
    zefo::LocalSource half{7, header.fileSize, {}};
    for (size_t i = 0; i < index.chunks.size(); i += 2)
        zefo::Hold(half, lookup, index.chunks[i]);
    const std::vector<zefo::LocalSource> sources = {half};
    const zefo::Plan partial = zefo::PlanChunks(lookup, sources);
    FUZZ_CHECK(zefo::PlanCovers(partial, header.fileSize, sources));
    for (const zefo::BlockSearch& search : zefo::BlockSearches(partial, index.chunks, sources, 65536)) {
        FUZZ_CHECK(search.chunkCount > 0 && search.firstChunk + search.chunkCount <= index.chunks.size());
        for (const zefo::Region& region : search.regions)
            FUZZ_CHECK(region.source == 7 && region.length > 0 && region.offset + region.length <= header.fileSize);
    }
    const zefo::Plan merged = zefo::MergeRemote(partial, 1 << 20);
    FUZZ_CHECK(zefo::PlanCovers(merged, header.fileSize, sources));
    FUZZ_CHECK(zefo::Totals(merged).remoteRanges <= zefo::Totals(partial).remoteRanges);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    zefo::ChunkIndex index;
    if (zefo::ParseChunkIndex(bytes, index)) {
        CheckAccepted(bytes, index);
    } else {
        FUZZ_CHECK(index.chunks.empty() && index.blockMarks.empty());
    }

    std::vector<zefo::BlockRecord> records;
    const size_t count = size / zefo::kBlockRecordSize;
    FUZZ_CHECK(zefo::ParseBlockRecords(bytes, count, records) == (size % zefo::kBlockRecordSize == 0));
    FUZZ_CHECK(records.size() == (size % zefo::kBlockRecordSize == 0 ? count : 0));
    FUZZ_CHECK(!zefo::ParseBlockRecords(bytes, count + 1, records) && records.empty());
    return 0;
}
