// Plans of a new file over local sources: each plan is run in memory (local spans
// copied from their sources, remote ones from the server's copy) and must give the
// new file's bytes while fetching only about what changed.
#include "sync/delta_plan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/test_data.h"

namespace zefo::test {
namespace {

const ChunkerParams kSmall{2048, 8192, 32768, 2, 3};
constexpr uint32_t kBlock = 512;

struct Target {
    ChunkIndex index;
    std::string zcb;
};

Target IndexOf(const std::string& bytes) {
    ChunkIndexWriter writer(kSmall, kBlock);
    writer.Update(bytes.data(), bytes.size());
    Target target;
    std::string zci;
    EXPECT_TRUE(writer.Finish(zci, target.zcb));
    EXPECT_TRUE(ParseChunkIndex(zci, target.index));
    return target;
}

// The chunks of the new file of `target` that `bytes` hold, as source `id`.
LocalSource SourceOf(uint32_t id, const std::string& bytes, const ChunkLookup& target) {
    ChunkHasher hasher(kSmall);
    hasher.Update(bytes.data(), bytes.size());
    EXPECT_TRUE(hasher.Finish());
    return zefo::SourceOf(id, bytes.size(), hasher.chunks(), target);
}

// Local files by source id.
class Files {
  public:
    void Add(uint32_t id, std::string bytes) { files_[id] = std::move(bytes); }
    ReadLocal Reader() const {
        return [this](uint32_t id, uint64_t offset, size_t length, uint8_t* out) {
            auto file = files_.find(id);
            if (file == files_.end() || offset > file->second.size() || length > file->second.size() - offset)
                return false;
            std::memcpy(out, file->second.data() + offset, length);
            return true;
        };
    }
    // The file `plan` makes, with remote spans taken from `server`.
    std::string Run(const Plan& plan, const std::string& server) const {
        std::string made;
        for (const Span& span : plan) {
            made += span.remote() ? server.substr(span.offset, span.length)
                                  : files_.at(span.source).substr(span.sourceOffset, span.length);
        }
        return made;
    }

  private:
    std::map<uint32_t, std::string> files_;
};

Sha256Digest Fake(uint8_t tag) {
    Sha256Digest digest{};
    digest.fill(tag);
    return digest;
}

TEST(DeltaPlanTest, ChunksComeFromTheOldFileAnotherFileOrTheServer) {
    const std::string old = Pattern(1 << 20, 1);
    const std::string other = Pattern(256 << 10, 2);
    const std::string now = old.substr(0, 300000) + Pattern(5000, 3) + old.substr(300000, 400000) +
                            other.substr(0, 200000) + old.substr(700000);
    Files files;
    files.Add(1, old);
    files.Add(2, other);
    const Target target = IndexOf(now);
    const ChunkLookup lookup(target.index.chunks);
    const std::vector<LocalSource> sources = {SourceOf(1, old, lookup), SourceOf(2, other, lookup)};

    const Plan plan = PlanChunks(lookup, sources);
    ASSERT_TRUE(PlanCovers(plan, now.size(), sources));
    EXPECT_EQ(files.Run(plan, now), now);
    const PlanTotals totals = Totals(plan);
    EXPECT_EQ(totals.remoteBytes + totals.localBytes, now.size());
    // The new bytes and the chunks cut across the three seams.
    EXPECT_GT(totals.remoteBytes, 5000u);
    EXPECT_LT(totals.remoteBytes, 5000u + 6 * 32768);
    uint64_t fromOther = 0;
    for (const Span& span : plan)
        fromOther += span.source == 2 ? span.length : 0;
    EXPECT_GT(fromOther, 150000u);
    EXPECT_LE(totals.localSpans, 6u);

    // A chunk held by two sources comes from the one that continues the span before it,
    // else from the first source.
    ChunkList chunks;
    for (const Chunk& chunk : {Chunk{0, 3000, Fake(1)}, Chunk{3000, 4000, Fake(2)}, Chunk{7000, 5000, Fake(3)}})
        chunks.push_back(chunk);
    const ChunkLookup three(chunks);
    auto source = [&three](uint32_t id, uint64_t size, const std::vector<Chunk>& held) {
        return zefo::SourceOf(id, size, held, three);
    };
    const LocalSource held = source(20, 50000, {{1000, 3000, Fake(1)}, {4000, 4000, Fake(2)}, {8000, 5000, Fake(3)}});
    EXPECT_EQ(PlanChunks(three, {source(10, 50000, {{0, 4000, Fake(2)}}), held}), (Plan{{0, 12000, 20, 1000}}));
    EXPECT_EQ(PlanChunks(three, {source(10, 50000, {{0, 4000, Fake(2)}, {9000, 3000, Fake(1)}}), held}),
              (Plan{{0, 3000, 10, 9000}, {3000, 4000, 10, 0}, {7000, 5000, 20, 8000}}));
    // A source's chunk that lies beyond its size is not taken.
    EXPECT_EQ(PlanChunks(three, {source(30, 4000, {{0, 3000, Fake(1)}, {3000, 4000, Fake(2)}})}),
              (Plan{{0, 3000, 30, 0}, {3000, 9000, kRemoteSource, 3000}}));
    EXPECT_EQ(PlanChunks(three, {{30, 4000, {{0, 0}, {3000, 1}}}}),
              (Plan{{0, 3000, 30, 0}, {3000, 9000, kRemoteSource, 3000}}));
}

TEST(DeltaPlanTest, ChunksAreKnownByTheirWholeDigestAndLength) {
    // Digests alike in their first bytes (where the lookup sorts them first), or in
    // all of them with another length, are other chunks.
    const Sha256Digest a = Fake(1);
    Sha256Digest lastBit = a, ninthByte = a, middle = a;
    lastBit[31] ^= 1;
    ninthByte[8] ^= 0x80;
    middle[20] ^= 1;
    ChunkList chunks;
    for (const Chunk& chunk : {Chunk{0, 3000, a}, Chunk{3000, 3000, lastBit}, Chunk{6000, 4000, a},
                               Chunk{10000, 3000, ninthByte}, Chunk{13000, 3000, a}})
        chunks.push_back(chunk);
    const ChunkLookup lookup(chunks);
    EXPECT_EQ(lookup.Find(a.data(), 3000), 0u);  // the first of the two alike
    EXPECT_EQ(lookup.Find(lastBit.data(), 3000), 1u);
    EXPECT_EQ(lookup.Find(a.data(), 4000), 2u);
    EXPECT_EQ(lookup.Find(ninthByte.data(), 3000), 3u);
    EXPECT_EQ(lookup.Find(middle.data(), 3000), ChunkLookup::kNone);
    EXPECT_EQ(lookup.Find(a.data(), 5000), ChunkLookup::kNone);

    // A source holding near twins lends only what it really holds.
    const LocalSource source = SourceOf(5, 50000, {{0, 3000, middle}, {3000, 4000, a}, {7000, 3000, a}}, lookup);
    EXPECT_EQ(source.chunks, (std::vector<HeldChunk>{{3000, 2}, {7000, 0}}));
    EXPECT_EQ(PlanChunks(lookup, {source}), (Plan{{0, 3000, 5, 7000},
                                                  {3000, 3000, kRemoteSource, 3000},
                                                  {6000, 4000, 5, 3000},
                                                  {10000, 3000, kRemoteSource, 10000},
                                                  {13000, 3000, 5, 7000}}));
}

TEST(DeltaPlanTest, ATemporaryFileGivesTheChunksItHoldsAtTheirFinalOffsets) {
    const std::string now = Pattern(600000, 4);
    const std::string partial = now.substr(0, 350000) + std::string(50000, 'x');
    Files files;
    files.Add(9, partial);
    const Target target = IndexOf(now);

    const ChunkLookup lookup(target.index.chunks);
    const LocalSource verified = VerifyAtFinalOffsets(9, partial.size(), lookup, files.Reader());
    ASSERT_FALSE(verified.chunks.empty());
    std::vector<HeldChunk> expected;
    for (uint32_t c = 0; target.index.chunks.end(c) <= 350000; ++c)
        expected.push_back({target.index.chunks.offset(c), c});
    EXPECT_EQ(verified.chunks, expected);

    const Plan plan = PlanChunks(lookup, {verified});
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_EQ(plan[0], (Span{0, target.index.chunks.end(expected.size() - 1), 9, 0}));
    EXPECT_TRUE(plan[1].remote());
    EXPECT_EQ(files.Run(plan, now), now);
    // Nothing is taken from a file that cannot be read.
    EXPECT_TRUE(VerifyAtFinalOffsets(8, partial.size(), lookup, files.Reader()).chunks.empty());
}

using Edits = std::vector<std::pair<uint64_t, uint64_t>>;

// The plan of `now` over `old` down to blocks; every block of the new file that holds
// no edited byte must come from the old file, and the plan must make the new file.
Plan BlockPlan(const std::string& old, const std::string& now, const Edits& edits, Plan& chunks) {
    Files files;
    files.Add(1, old);
    const Target target = IndexOf(now);
    const ChunkLookup lookup(target.index.chunks);
    const std::vector<LocalSource> sources = {SourceOf(1, old, lookup)};
    chunks = PlanChunks(lookup, sources);
    std::vector<Span> found;
    for (const BlockSearch& search : BlockSearches(chunks, target.index.chunks, sources, 16384)) {
        const ByteRange range = BlockRecordRange(target.index, search.firstChunk, search.chunkCount);
        std::vector<BlockRecord> records;
        EXPECT_TRUE(
            ParseBlockRecords(target.zcb.substr(range.offset, range.length), range.length / kBlockRecordSize, records));
        const std::vector<Span> more = FindBlocks(search, target.index.chunks, records, kBlock, files.Reader(), 4096);
        found.insert(found.end(), more.begin(), more.end());
        // Records that are not the search's own find nothing.
        records.pop_back();
        EXPECT_TRUE(FindBlocks(search, target.index.chunks, records, kBlock, files.Reader()).empty());
    }
    const Plan blocks = WithLocalSpans(chunks, found);
    EXPECT_TRUE(PlanCovers(blocks, now.size(), sources));
    EXPECT_EQ(files.Run(blocks, now), now);

    std::vector<bool> fetched(now.size());
    for (const Span& span : blocks) {
        for (uint64_t at = span.offset; span.remote() && at < span.offset + span.length; ++at)
            fetched[at] = true;
    }
    for (const Chunk& chunk : target.index.chunks) {
        for (uint64_t from = chunk.offset; from < chunk.end(); from += kBlock) {
            const uint64_t to = std::min<uint64_t>(from + kBlock, chunk.end());
            bool edited = false;
            for (const auto& [first, end] : edits)
                edited = edited || (from < end && first < to);
            for (uint64_t at = from; !edited && at < to; ++at) {
                EXPECT_FALSE(fetched[at]) << "block at " << from;
                if (fetched[at])
                    return blocks;
            }
        }
    }
    return blocks;
}

TEST(DeltaPlanTest, BlocksInsideChangedChunksComeFromTheOldFile) {
    const std::string old = Pattern(512 << 10, 5);
    std::string now = old.substr(0, 100000) + Pattern(300, 6) + old.substr(100000);  // an insertion
    now.replace(300000, 700, Pattern(700, 7));                                       // an overwrite
    now += Pattern(3000, 8);                                                         // an append
    Plan chunks;
    const Plan blocks =
        BlockPlan(old, now, {{100000, 100300}, {300000, 300700}, {now.size() - 3000, now.size()}}, chunks);
    EXPECT_GT(Totals(chunks).remoteBytes, 4 * Totals(blocks).remoteBytes);
    // After the insertion the old bytes are found 300 bytes earlier in the old file.
    bool shifted = false;
    for (const Span& span : blocks)
        shifted = shifted || (!span.remote() && span.offset > 100300 && span.offset == span.sourceOffset + 300);
    EXPECT_TRUE(shifted);

    // Equal blocks (a run of zeros) are all taken from the first place that holds them.
    const std::string zeros = Pattern(100000, 9) + std::string(100000, '\0') + Pattern(100000, 10);
    std::string changed = zeros;
    changed.replace(150000, 100, Pattern(100, 11));
    const Plan fromZeros = BlockPlan(zeros, changed, {{150000, 150100}}, chunks);
    EXPECT_LE(Totals(fromZeros).remoteBytes, 2 * kBlock);
}

TEST(DeltaPlanTest, RemoteSpansAreSplitAroundFoundBlocksAndMergedAcrossSmallGaps) {
    const Plan plan = {{0, 100, kRemoteSource, 0},       {100, 50, 1, 500},
                       {150, 150, kRemoteSource, 150},   {300, 1000, 1, 700},
                       {1300, 100, kRemoteSource, 1300}, {1400, 10, 2, 0}};
    EXPECT_EQ(
        MergeRemote(plan, 64),
        (Plan{{0, 300, kRemoteSource, 0}, {300, 1000, 1, 700}, {1300, 100, kRemoteSource, 1300}, {1400, 10, 2, 0}}));
    // A local span at the end has no remote span after it: it stays.
    EXPECT_EQ(MergeRemote(plan, 2000), (Plan{{0, 1400, kRemoteSource, 0}, {1400, 10, 2, 0}}));
    EXPECT_EQ(MergeRemote(plan, 0), plan);

    const PlanTotals totals = Totals(plan);
    EXPECT_EQ(totals.remoteBytes, 350u);
    EXPECT_EQ(totals.localBytes, 1060u);
    EXPECT_EQ(totals.remoteRanges, 3u);
    EXPECT_EQ(totals.localSpans, 3u);

    // Found blocks split the remote span they lie in, joined to a local span they continue;
    // one that reaches into local bytes is cut to the remote part.
    const std::vector<Span> found = {{150, 20, 1, 550}, {200, 30, 2, 40}, {290, 20, 3, 0}};
    EXPECT_EQ(WithLocalSpans(plan, found), (Plan{{0, 100, kRemoteSource, 0},
                                                 {100, 70, 1, 500},
                                                 {170, 30, kRemoteSource, 170},
                                                 {200, 30, 2, 40},
                                                 {230, 60, kRemoteSource, 230},
                                                 {290, 10, 3, 0},
                                                 {300, 1000, 1, 700},
                                                 {1300, 100, kRemoteSource, 1300},
                                                 {1400, 10, 2, 0}}));
    const std::vector<LocalSource> sizes = {{1, 2000, {}}, {2, 100, {}}, {3, 10, {}}};
    EXPECT_TRUE(PlanCovers(WithLocalSpans(plan, found), 1410, sizes));
    EXPECT_FALSE(PlanCovers(plan, 1411, sizes));
    EXPECT_FALSE(PlanCovers({{0, 1410, 3, 0}}, 1410, sizes));
}

}  // namespace
}  // namespace zefo::test
