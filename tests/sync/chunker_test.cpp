// Content-defined chunking: cut points that follow the content, not the feeding.
#include "sync/chunker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "common/test_data.h"

namespace zefo::test {
namespace {

// Every cut of `bytes` fed in pieces of `piece` bytes (the last chunk's end included).
std::vector<uint64_t> CutsOf(const std::string& bytes, const ChunkerParams& params, size_t piece) {
    Chunker chunker(params);
    std::vector<uint64_t> cuts;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t at = 0; at < bytes.size(); at += piece)
        chunker.Feed(data + at, std::min(piece, bytes.size() - at), cuts);
    if (chunker.Finish())
        cuts.push_back(chunker.position());
    return cuts;
}

// The cuts as the format defines them, one chunk at a time over the whole input: from
// `min` bytes into a chunk, h = (h << 1) + gear[byte] from zero, a cut after the first
// byte that leaves the top log2(avg) + level bits of h zero (before `avg` bytes) or the
// top log2(avg) - level bits (from `avg` on), else at `max` or at the end.
std::vector<uint64_t> DefinedCuts(const std::string& bytes, const ChunkerParams& params) {
    const std::array<uint64_t, 256> gear = GearTable(params.seed);
    int bits = 0;
    while ((uint32_t{1} << bits) < params.avgSize)
        ++bits;
    const uint64_t strict = ~uint64_t{0} << (64 - bits - params.level);
    const uint64_t loose = ~uint64_t{0} << (64 - bits + params.level);
    std::vector<uint64_t> cuts;
    uint64_t start = 0;
    while (start < bytes.size()) {
        const uint64_t end = std::min<uint64_t>(bytes.size(), start + params.maxSize);
        uint64_t cut = end, h = 0;
        for (uint64_t i = start + params.minSize; i < end; ++i) {
            h = (h << 1) + gear[static_cast<uint8_t>(bytes[i])];
            if ((h & (i - start < params.avgSize ? strict : loose)) == 0) {
                cut = i + 1;
                break;
            }
        }
        cuts.push_back(cut);
        start = cut;
    }
    return cuts;
}

TEST(ChunkerTest, CutsAreTheDefinedOnesHoweverTheBytesAreFed) {
    const std::string bytes = Pattern(3 << 20, 7);
    const ChunkerParams params;
    const std::vector<uint64_t> whole = CutsOf(bytes, params, bytes.size());
    ASSERT_GT(whole.size(), 20u);
    EXPECT_EQ(whole.back(), bytes.size());
    EXPECT_EQ(whole, DefinedCuts(bytes, params));
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, size_t{65537}, size_t{1} << 20})
        EXPECT_EQ(CutsOf(bytes, params, piece), whole) << "pieces of " << piece;
    for (const ChunkerParams& other : {ChunkerParams{1024, 4096, 8192, 0, 1}, ChunkerParams{4096, 4096, 65536, 3, 2}})
        EXPECT_EQ(CutsOf(bytes, other, 5000), DefinedCuts(bytes, other));

    // Next stops at each cut: the bytes after it wait for the next call.
    Chunker chunker(params);
    bool cut = false;
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_EQ(chunker.Next(data, bytes.size(), cut), whole[0]);
    EXPECT_TRUE(cut);
    EXPECT_EQ(chunker.Next(data + whole[0], 10, cut), 10u);
    EXPECT_FALSE(cut);
}

TEST(ChunkerTest, AnInsertionMovesOnlyTheChunksAroundIt) {
    const std::string old = Pattern(4 << 20, 11);
    const size_t at = 3 << 20;
    const std::string inserted = Pattern(100, 12);
    const std::string now = old.substr(0, at) + inserted + old.substr(at);
    const ChunkerParams params;
    const std::vector<uint64_t> before = CutsOf(old, params, 1 << 16);
    const std::vector<uint64_t> after = CutsOf(now, params, 1 << 16);

    // Cuts before the edit stay; after it they come back, moved by the insertion, within
    // a couple of chunks.
    size_t same = 0;
    while (same < before.size() && before[same] < at && before[same] == after[same])
        ++same;
    EXPECT_TRUE(same == before.size() || before[same] >= at);
    size_t shifted = 0;
    while (shifted < before.size() && before[before.size() - 1 - shifted] > at &&
           before[before.size() - 1 - shifted] + inserted.size() == after[after.size() - 1 - shifted])
        ++shifted;
    EXPECT_GE(same + shifted + 2, before.size());
    EXPECT_GT(shifted, 5u);

    // Another seed, another gear table, other cuts.
    ChunkerParams other = params;
    other.seed = params.seed + 1;
    EXPECT_NE(CutsOf(old, other, 1 << 16), before);
}

TEST(ChunkerTest, ChunkSizesKeepTheParameters) {
    const std::string bytes = Pattern(2 << 20, 3) + std::string(1 << 20, '\0');
    for (uint32_t level = 0; level <= kMaxNormalisationLevel; ++level) {
        const ChunkerParams params{2048, 8192, 32768, level, 99};
        const std::vector<uint64_t> cuts = CutsOf(bytes, params, 1000);
        uint64_t start = 0, longest = 0, inPattern = 0;
        for (size_t i = 0; i < cuts.size(); ++i) {
            const uint64_t length = cuts[i] - start;
            EXPECT_LE(length, params.maxSize);
            if (i + 1 < cuts.size()) {
                EXPECT_GE(length, params.minSize);
            }
            longest = std::max(longest, length);
            inPattern += cuts[i] <= (2u << 20);
            start = cuts[i];
        }
        // Zeros never meet the mask: they are cut at the maximum.
        EXPECT_EQ(longest, params.maxSize);
        // The sizes gather around the average.
        const double mean = static_cast<double>(2 << 20) / static_cast<double>(inPattern);
        EXPECT_GT(mean, params.avgSize * 0.6) << "level " << level;
        EXPECT_LT(mean, params.avgSize * 2.0) << "level " << level;
    }

    // The table is SplitMix64's sequence: seed 0 starts with its well-known first value.
    EXPECT_EQ(GearTable(0)[0], 0xe220a8397b1dcdafu);
    EXPECT_NE(GearTable(1), GearTable(2));

    EXPECT_TRUE(ValidChunkerParams({1024, 1024, 1024, 0, 0}));
    EXPECT_TRUE(ValidChunkerParams({1024, 16 << 20, 16 << 20, 3, 0}));
    for (const ChunkerParams& bad :
         {ChunkerParams{1023, 4096, 8192, 2, 0}, ChunkerParams{8192, 4096, 16384, 2, 0},
          ChunkerParams{2048, 6000, 16384, 2, 0}, ChunkerParams{2048, 4096, 2048, 2, 0},
          ChunkerParams{2048, 4096, (16 << 20) + 1, 2, 0}, ChunkerParams{2048, 4096, 8192, 4, 0}}) {
        EXPECT_FALSE(ValidChunkerParams(bad));
        Chunker chunker(bad);
        EXPECT_FALSE(chunker.valid());
        EXPECT_TRUE(CutsOf(bytes.substr(0, 100000), bad, 4096).empty());
    }
}

}  // namespace
}  // namespace zefo::test
