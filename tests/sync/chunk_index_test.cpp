// The chunk and block indexes: what the writer writes reads back, and the reader
// refuses every index that breaks the format's bounds.
#include "sync/chunk_index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/md5.h"
#include "common/test_data.h"
#include "net/crypto.h"

namespace zefo::test {
namespace {

const ChunkerParams kSmall{4096, 16384, 65536, 2, 5};

const uint8_t* Bytes(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

Sha256Digest ShaOf(const std::string& bytes) {
    Sha256 sha;
    sha.Update(bytes.data(), bytes.size());
    Sha256Digest digest{};
    sha.Final(digest.data());
    return digest;
}

struct Written {
    std::string zci;
    std::string zcb;
};

Written Write(const std::string& bytes, const ChunkerParams& params, uint32_t blockSize, size_t piece) {
    ChunkIndexWriter writer(params, blockSize);
    for (size_t at = 0; at < bytes.size(); at += piece)
        writer.Update(bytes.data() + at, std::min(piece, bytes.size() - at));
    Written written;
    EXPECT_TRUE(writer.Finish(written.zci, written.zcb));
    return written;
}

TEST(ChunkIndexTest, WhatTheWriterWritesReadsBack) {
    const std::string bytes = Pattern(3 << 20, 21) + std::string(200000, 'z');
    const Written written = Write(bytes, kSmall, 1000, 77777);
    ChunkIndex index;
    ASSERT_TRUE(ParseChunkIndex(written.zci, index));
    EXPECT_EQ(written.zci.size(), kChunkIndexHeaderSize + index.chunks.size() * kChunkRecordSize);
    EXPECT_LE(written.zci.size(), MaxChunkIndexSize(bytes.size()));

    // The header: parameters, size and the file's own digests.
    EXPECT_EQ(index.header.chunker, kSmall);
    EXPECT_EQ(index.header.blockSize, 1000u);
    EXPECT_EQ(index.header.fileSize, bytes.size());
    EXPECT_EQ(index.header.fileSha256, ShaOf(bytes));
    EXPECT_EQ(HexText(std::string_view(reinterpret_cast<const char*>(index.header.fileMd5.data()), 16)), Md5Of(bytes));

    // The chunks: the chunker's cuts, each with the SHA-256 of its bytes; the same as a
    // client's hasher finds.
    Chunker chunker(kSmall);
    std::vector<uint64_t> cuts;
    chunker.Feed(Bytes(bytes), bytes.size(), cuts);
    if (chunker.Finish())
        cuts.push_back(chunker.position());
    ASSERT_EQ(index.chunks.size(), cuts.size());
    ChunkHasher hasher(kSmall);
    hasher.Update(bytes.data(), bytes.size());
    ASSERT_TRUE(hasher.Finish());
    EXPECT_TRUE(index.chunks == hasher.chunks());

    // The blocks of each chunk, where BlockRecordRange says they are.
    EXPECT_EQ(written.zcb.size(), BlockIndexSize(index));
    for (size_t i = 0; i < index.chunks.size(); ++i) {
        const Chunk chunk = index.chunks[i];
        EXPECT_EQ(chunk.end(), cuts[i]);
        EXPECT_EQ(chunk.sha256, ShaOf(bytes.substr(chunk.offset, chunk.length)));
        const ByteRange range = BlockRecordRange(index, i, 1);
        std::vector<BlockRecord> records;
        ASSERT_LE(range.offset + range.length, written.zcb.size());
        ASSERT_TRUE(
            ParseBlockRecords(written.zcb.substr(range.offset, range.length), BlocksOf(chunk.length, 1000), records));
        for (size_t b = 0; b < records.size(); ++b) {
            const std::string block =
                bytes.substr(chunk.offset + b * 1000, std::min<uint64_t>(1000, chunk.length - b * 1000));
            EXPECT_EQ(records[b],
                      (BlockRecord{WeakSum(Bytes(block), block.size()), StrongHash(Bytes(block), block.size())}));
        }
    }
    EXPECT_EQ(BlockRecordRange(index, 2, 3).offset, BlockRecordRange(index, 2, 1).offset);
    EXPECT_EQ(BlockRecordRange(index, 2, 3).length, BlockRecordRange(index, 2, 1).length +
                                                        BlockRecordRange(index, 3, 1).length +
                                                        BlockRecordRange(index, 4, 1).length);
    EXPECT_EQ(BlockRecordRange(index, index.chunks.size(), 1), ByteRange{});

    // Read in pieces that split the header and the records anywhere: the same index;
    // its bytes come back whole, also when taken from it.
    for (size_t piece : {1, 7, 40, 113, 4096}) {
        ChunkIndexReader reader;
        ChunkIndex read;
        for (size_t at = 0; at < written.zci.size(); at += piece) {
            ASSERT_TRUE(reader.Update(std::string_view(written.zci).substr(at, piece),
                                      [&read](const Chunk& chunk) { read.chunks.push_back(chunk); }));
        }
        ASSERT_TRUE(reader.Finish()) << piece;
        EXPECT_EQ(reader.header(), index.header);
        EXPECT_TRUE(read.chunks == index.chunks) << piece;
    }
    EXPECT_EQ(ChunkIndexBytes(index), written.zci);
    ChunkIndex taken = index;
    EXPECT_EQ(ChunkIndexBytes(std::move(taken)), written.zci);
    EXPECT_TRUE(taken.chunks.empty());

    // Written again from other pieces: the same bytes; an empty file has no chunk.
    const Written again = Write(bytes, kSmall, 1000, 4096);
    EXPECT_EQ(again.zci, written.zci);
    EXPECT_EQ(again.zcb, written.zcb);
    const Written empty = Write("", kSmall, 1000, 1);
    ASSERT_TRUE(ParseChunkIndex(empty.zci, index));
    EXPECT_TRUE(index.chunks.empty());
    EXPECT_TRUE(empty.zcb.empty());
}

TEST(ChunkIndexTest, TheWeakSumRollsAndTheStrongHashSeesEveryByte) {
    // a = 97 + 98 + 99, b = 3 * 97 + 2 * 98 + 99.
    EXPECT_EQ(WeakSum(Bytes("abc"), 3), (586u << 16) | 294u);
    // Forty bytes of 1: a = 40, b = 40 + 39 + ... + 1.
    EXPECT_EQ(WeakSum(Bytes(std::string(40, '\1')), 40), (820u << 16) | 40u);
    const std::string bytes = Pattern(5000, 4);
    RollingSum sum;
    sum.Reset(Bytes(bytes), 700);
    for (size_t at = 0; at + 700 < bytes.size(); ++at) {
        ASSERT_EQ(sum.value(), WeakSum(Bytes(bytes) + at, 700)) << at;
        sum.Roll(Bytes(bytes)[at], Bytes(bytes)[at + 700]);
    }
    const uint64_t strong = StrongHash(Bytes(bytes), 1000);
    for (size_t at = 0; at < 1000; at += 37) {
        std::string changed = bytes.substr(0, 1000);
        changed[at] ^= 1;
        EXPECT_NE(StrongHash(Bytes(changed), 1000), strong) << at;
    }
    EXPECT_NE(StrongHash(Bytes(bytes), 999), StrongHash(Bytes(bytes), 1000));
    EXPECT_NE(StrongHash(Bytes(std::string(64, '\0')), 64), StrongHash(Bytes(std::string(65, '\0')), 65));
}

void Put32(std::string& bytes, size_t at, uint32_t value) {
    std::memcpy(&bytes[at], &value, 4);
}
void Put64(std::string& bytes, size_t at, uint64_t value) {
    std::memcpy(&bytes[at], &value, 8);
}

TEST(ChunkIndexTest, HostileIndexesAreRefused) {
    const std::string bytes = Pattern(1 << 20, 8);
    const std::string good = Write(bytes, kSmall, 2048, 1 << 16).zci;
    ChunkIndex index;
    ASSERT_TRUE(ParseChunkIndex(good, index));
    const uint64_t count = index.chunks.size();
    ASSERT_GT(count, 4u);
    const size_t records = kChunkIndexHeaderSize;
    const size_t lastEnd = records + (count - 1) * kChunkRecordSize;

    const std::vector<std::pair<const char*, std::function<void(std::string&)>>> damages = {
        {"empty", [](std::string& z) { z.clear(); }},
        {"header cut short", [](std::string& z) { z.resize(kChunkIndexHeaderSize - 1); }},
        {"last record cut short", [](std::string& z) { z.pop_back(); }},
        {"a byte more", [](std::string& z) { z.push_back('\0'); }},
        {"magic", [](std::string& z) { z[0] = 'X'; }},
        {"version", [](std::string& z) { Put32(z, 8, 2); }},
        {"header size", [](std::string& z) { Put32(z, 12, 120); }},
        {"minimum below 1 KiB", [](std::string& z) { Put32(z, 16, 512); }},
        {"average not a power of two", [](std::string& z) { Put32(z, 20, 20000); }},
        {"maximum below the average", [](std::string& z) { Put32(z, 24, 8192); }},
        {"maximum above 16 MiB", [](std::string& z) { Put32(z, 24, (16 << 20) + 1); }},
        {"normalisation level", [](std::string& z) { Put32(z, 28, 4); }},
        {"block size too small", [](std::string& z) { Put32(z, 40, 255); }},
        {"block size too large", [](std::string& z) { Put32(z, 40, 65537); }},
        {"block record size", [](std::string& z) { Put32(z, 44, 16); }},
        {"count one more", [count](std::string& z) { Put64(z, 104, count + 1); }},
        {"count one less", [count](std::string& z) { Put64(z, 104, count - 1); }},
        {"count beyond every bound", [](std::string& z) { Put64(z, 104, uint64_t{1} << 60); }},
        {"count above what the size allows",
         [](std::string& z) {
             Put64(z, 48, 1 << 16);
             Put64(z, 104, (1 << 16) / 4096 + 2);
         }},
        {"empty file with chunks", [](std::string& z) { Put64(z, 48, 0); }},
        {"file longer than the chunks", [](std::string& z) { Put64(z, 48, (1 << 20) + 1); }},
        {"offsets not increasing", [](std::string& z) { Put64(z, records + 2 * kChunkRecordSize, 4096); }},
        {"last end beyond the file", [lastEnd](std::string& z) { Put64(z, lastEnd, (1 << 20) + 1); }},
    };
    for (const auto& [what, damage] : damages) {
        std::string bad = good;
        damage(bad);
        index.chunks.push_back(Chunk{});
        EXPECT_FALSE(ParseChunkIndex(bad, index)) << what;
        EXPECT_TRUE(index.chunks.empty() && index.blockMarks.empty()) << what;
        ChunkIndexReader reader;
        bool sound = true;
        for (size_t at = 0; at < bad.size(); at += 7)
            sound = reader.Update(std::string_view(bad).substr(at, 7), [](const Chunk&) {}) && sound;
        EXPECT_FALSE(sound && reader.Finish()) << what;
    }

    // Chunk lengths: min to max, the last one may be shorter.
    auto crafted = [](std::vector<uint32_t> lengths) {
        ChunkIndex made;
        made.header.chunker = kSmall;
        made.header.blockSize = 2048;
        for (uint32_t length : lengths) {
            made.chunks.push_back({made.header.fileSize, length, {}});
            made.header.fileSize += length;
        }
        return ChunkIndexBytes(made);
    };
    EXPECT_TRUE(ParseChunkIndex(crafted({5000, 65536, 4096, 1}), index));
    const std::vector<uint64_t> firstBlocks = {0, 3, 35, 37, 38};
    for (size_t i = 0; i < firstBlocks.size(); ++i)
        EXPECT_EQ(FirstBlock(index, i), firstBlocks[i]) << i;
    EXPECT_FALSE(ParseChunkIndex(crafted({5000, 4095, 5000}), index));
    EXPECT_FALSE(ParseChunkIndex(crafted({65537, 10}), index));
    EXPECT_FALSE(ParseChunkIndex(crafted({5000, 0}), index));

    // A header alone reads when its fields do; the records are then counted from it.
    ChunkIndexHeader header;
    EXPECT_TRUE(ParseChunkIndexHeader(good.substr(0, kChunkIndexHeaderSize), header));
    EXPECT_EQ(header.chunkCount, count);
    EXPECT_FALSE(ParseChunkIndexHeader(good.substr(0, kChunkIndexHeaderSize - 1), header));

    std::vector<BlockRecord> blocks;
    EXPECT_TRUE(ParseBlockRecords(std::string(36, 'x'), 3, blocks));
    EXPECT_EQ(blocks.size(), 3u);
    EXPECT_FALSE(ParseBlockRecords(std::string(35, 'x'), 3, blocks));
    EXPECT_FALSE(ParseBlockRecords(std::string(48, 'x'), 3, blocks));
    EXPECT_FALSE(ParseBlockRecords(std::string(36, 'x'), SIZE_MAX / 4, blocks));
    EXPECT_TRUE(blocks.empty());
}

}  // namespace
}  // namespace zefo::test
