// Figures of updates that fetch only what changed:
//
//   chunk_bench chunk [MiB]          chunking speed on pseudo-random bytes in memory (default 1024 MiB)
//   chunk_bench write FILE [BLOCK]   the index writer on a file: speed, and the indexes' sizes
//   chunk_bench delta [FILE]         a 64 MiB file (pseudo-random, or the first 64 MiB of FILE) with ten
//                                    4 KiB overwrites, ten 1 KiB insertions and 1 MiB appended: what the
//                                    plan fetches at chunk level and with blocks of 1, 2 and 4 KiB
//   chunk_bench update [FILE]        the same edits as an update on disk, in a temporary folder: the
//                                    old file chunked or its remembered index, the plan, the ranges
//                                    written at their offsets, the checking pass; times and bytes
//   chunk_bench line                 files of 64 KiB to 16 MiB, each with one 4 KiB overwrite or one 1 KiB
//                                    insertion in the middle, or all bytes new (nothing to reuse, the
//                                    indexes' worst case): the update through the indexes against the
//                                    whole file, in bytes and requests and in time on three links (where
//                                    the publisher's size line for indexes comes from)
//
// Speeds are the best of three runs. The delta figures count the bytes on the wire: the
// remote ranges, the whole .zci, the .zcb ranges of the missing chunks, and 400 bytes of
// request and reply heads for each of those requests.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "base/md5.h"
#include "net/crypto.h"
#include "sync/chunk_index.h"
#include "sync/chunker.h"
#include "sync/delta_plan.h"
#include "sync/delta_update.h"

namespace {

using Clock = std::chrono::steady_clock;
using zefo::Chunk;
using zefo::Plan;

constexpr uint64_t kRequestOverhead = 400;
constexpr size_t kFeed = size_t{1} << 20;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// xorshift64*: fast, reproducible bytes.
struct Random {
    uint64_t state;
    uint64_t Next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545f4914f6cdd1d;
    }
    uint64_t Below(uint64_t bound) { return Next() % bound; }
};

std::vector<uint8_t> RandomBytes(size_t size, uint64_t seed) {
    std::vector<uint8_t> bytes(size);
    Random random{seed};
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t value = random.Next();
        std::memcpy(bytes.data() + i, &value, std::min<size_t>(8, size - i));
    }
    return bytes;
}

int Chunking(size_t mib) {
    const std::vector<uint8_t> bytes = RandomBytes(mib << 20, 1);
    double best = 1e30;
    std::vector<uint64_t> cuts;
    for (int run = 0; run < 3; ++run) {
        zefo::Chunker chunker;
        cuts.clear();
        const Clock::time_point start = Clock::now();
        for (size_t at = 0; at < bytes.size(); at += kFeed)
            chunker.Feed(bytes.data() + at, std::min(kFeed, bytes.size() - at), cuts);
        if (chunker.Finish())
            cuts.push_back(chunker.position());
        best = std::min(best, Since(start));
    }
    uint64_t shortest = UINT64_MAX, longest = 0, previous = 0;
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
        shortest = std::min(shortest, cuts[i] - previous);
        longest = std::max(longest, cuts[i] - previous);
        previous = cuts[i];
    }
    std::printf("chunking %zu MiB: %.3f s, %.2f GB/s\n", mib, best, static_cast<double>(bytes.size()) / best / 1e9);
    std::printf("chunks %zu, mean %.0f bytes, shortest %llu, longest %llu (last chunk left out)\n", cuts.size(),
                static_cast<double>(bytes.size()) / static_cast<double>(cuts.size()),
                static_cast<unsigned long long>(shortest), static_cast<unsigned long long>(longest));
    return 0;
}

// One pass over `path` feeding `feed(bytes, size)`; seconds, or -1 when it cannot be read.
template <typename Feed>
double PassOver(const char* path, Feed&& feed, uint64_t& size) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return -1;
    std::vector<uint8_t> block(kFeed);
    size = 0;
    const Clock::time_point start = Clock::now();
    for (;;) {
        const size_t got = std::fread(block.data(), 1, block.size(), file);
        if (got == 0)
            break;
        feed(block.data(), got);
        size += got;
    }
    const double seconds = Since(start);
    std::fclose(file);
    return seconds;
}

int Writing(const char* path, uint32_t blockSize) {
    double bestHasher = 1e30, bestWriter = 1e30, bestDigests = 1e30;
    uint64_t size = 0;
    std::string chunkIndex, blockIndex;
    for (int run = 0; run < 3; ++run) {
        zefo::ChunkHasher hasher(zefo::ChunkerParams{});
        const double hashing = PassOver(
            path, [&](const uint8_t* data, size_t n) { hasher.Update(data, n); }, size);
        zefo::ChunkIndexWriter writer(zefo::ChunkerParams{}, blockSize);
        const double writing = PassOver(
            path, [&](const uint8_t* data, size_t n) { writer.Update(data, n); }, size);
        // The publisher's own pass over a file: its MD5 and SHA-256, which the writer gives too.
        zefo::Md5 md5;
        zefo::Sha256 sha;
        const double digests = PassOver(
            path,
            [&](const uint8_t* data, size_t n) {
                md5.Update(data, n);
                sha.Update(data, n);
            },
            size);
        if (hashing < 0 || writing < 0 || digests < 0 || !hasher.Finish() || !writer.Finish(chunkIndex, blockIndex)) {
            std::fprintf(stderr, "%s: cannot be read or indexed\n", path);
            return 2;
        }
        bestHasher = std::min(bestHasher, hashing);
        bestWriter = std::min(bestWriter, writing);
        bestDigests = std::min(bestDigests, digests);
    }
    const double bytes = static_cast<double>(size);
    std::printf("file %llu bytes, block size %u\n", static_cast<unsigned long long>(size), blockSize);
    std::printf("chunks + SHA-256 of each:                 %.3f s, %.0f MB/s\n", bestHasher, bytes / bestHasher / 1e6);
    std::printf("writer (+ blocks, file SHA-256 and MD5):  %.3f s, %.0f MB/s\n", bestWriter, bytes / bestWriter / 1e6);
    std::printf("the file's MD5 and SHA-256 alone:         %.3f s, %.0f MB/s\n", bestDigests,
                bytes / bestDigests / 1e6);
    const double own = bestWriter - bestDigests;
    std::printf("the writer beyond them (chunks + SHA-256 + blocks): %.3f s, %.0f MB/s\n", own, bytes / own / 1e6);
    std::printf(".zci %zu bytes (%.3f %% of the file), .zcb %zu bytes (%.3f %%), both %.3f %%\n", chunkIndex.size(),
                100.0 * static_cast<double>(chunkIndex.size()) / bytes, blockIndex.size(),
                100.0 * static_cast<double>(blockIndex.size()) / bytes,
                100.0 * static_cast<double>(chunkIndex.size() + blockIndex.size()) / bytes);
    return 0;
}

struct Indexed {
    zefo::ChunkIndex index;
    std::string zci;
    std::string zcb;
};

Indexed IndexOf(const std::vector<uint8_t>& bytes, uint32_t blockSize) {
    Indexed indexed;
    zefo::ChunkIndexWriter writer(zefo::ChunkerParams{}, blockSize);
    for (size_t at = 0; at < bytes.size(); at += kFeed)
        writer.Update(bytes.data() + at, std::min(kFeed, bytes.size() - at));
    if (!writer.Finish(indexed.zci, indexed.zcb) || !zefo::ParseChunkIndex(indexed.zci, indexed.index)) {
        std::fprintf(stderr, "indexing failed\n");
        std::exit(2);
    }
    return indexed;
}

// Every local span of `plan` holds the new file's bytes.
bool Sound(const Plan& plan, const std::vector<uint8_t>& old, const std::vector<uint8_t>& now) {
    if (!zefo::PlanCovers(plan, now.size(), {{0, old.size(), {}}}))
        return false;
    for (const zefo::Span& span : plan) {
        if (!span.remote() && std::memcmp(old.data() + span.sourceOffset, now.data() + span.offset, span.length) != 0)
            return false;
    }
    return true;
}

void Report(const char* label, const Plan& plan, uint64_t indexBytes, uint64_t indexRequests) {
    const zefo::PlanTotals totals = zefo::Totals(plan);
    const uint64_t wire = totals.remoteBytes + indexBytes + (totals.remoteRanges + indexRequests) * kRequestOverhead;
    std::printf("%-34s fetch %9llu bytes in %3llu ranges, index %7llu bytes in %3llu requests, wire %9llu\n", label,
                static_cast<unsigned long long>(totals.remoteBytes),
                static_cast<unsigned long long>(totals.remoteRanges), static_cast<unsigned long long>(indexBytes),
                static_cast<unsigned long long>(indexRequests), static_cast<unsigned long long>(wire));
}

// Reads of `old` in memory, as a plan's local source 0.
zefo::ReadLocal ReaderOf(const std::vector<uint8_t>& old) {
    return [&old](uint32_t, uint64_t offset, size_t length, uint8_t* out) {
        if (offset > old.size() || length > old.size() - offset)
            return false;
        std::memcpy(out, old.data() + offset, length);
        return true;
    };
}

// `old` chunked with the default parameters: the one local source of a plan of the
// new file of `target`.
std::vector<zefo::LocalSource> SourcesOf(const std::vector<uint8_t>& old, const zefo::ChunkLookup& target) {
    zefo::ChunkHasher hasher(zefo::ChunkerParams{});
    hasher.Update(old.data(), old.size());
    hasher.Finish();
    return {zefo::SourceOf(0, old.size(), hasher.chunks(), target)};
}

// What plans of `now` over `old` fetch at chunk level and with blocks; false when a
// plan takes bytes that differ from the new file's.
bool Analyse(const std::vector<uint8_t>& old, const std::vector<uint8_t>& now, std::initializer_list<uint64_t> gaps) {
    const zefo::ReadLocal read = ReaderOf(old);

    bool sound = true;
    for (uint32_t blockSize : {1024u, 2048u, 4096u}) {
        const Indexed target = IndexOf(now, blockSize);
        const zefo::ChunkLookup lookup(target.index.chunks);
        const std::vector<zefo::LocalSource> sources = SourcesOf(old, lookup);
        const Plan chunks = zefo::PlanChunks(lookup, sources);
        sound = sound && Sound(chunks, old, now);
        if (blockSize == 1024) {
            std::printf(".zci %zu bytes, %zu chunks\n", target.zci.size(), target.index.chunks.size());
            Report("chunks only", chunks, target.zci.size(), 1);
        }
        const std::vector<zefo::BlockSearch> searches =
            zefo::BlockSearches(chunks, target.index.chunks, sources, zefo::kDefaultRegionSlack);
        std::vector<zefo::Span> found;
        uint64_t recordBytes = 0, recordRequests = 0;
        for (const zefo::BlockSearch& search : searches) {
            const zefo::ByteRange range = zefo::BlockRecordRange(target.index, search.firstChunk, search.chunkCount);
            std::vector<zefo::BlockRecord> records;
            zefo::ParseBlockRecords(std::string_view(target.zcb).substr(range.offset, range.length),
                                    range.length / zefo::kBlockRecordSize, records);
            recordBytes += range.length;
            ++recordRequests;
            const std::vector<zefo::Span> more =
                zefo::FindBlocks(search, target.index.chunks, records, blockSize, read);
            found.insert(found.end(), more.begin(), more.end());
        }
        const Plan blocks = zefo::WithLocalSpans(chunks, found);
        sound = sound && Sound(blocks, old, now);
        std::printf(".zcb %zu bytes at %u-byte blocks; %zu searches\n", target.zcb.size(), blockSize, searches.size());
        for (uint64_t gap : gaps) {
            const Plan merged = zefo::MergeRemote(blocks, gap);
            sound = sound && Sound(merged, old, now);
            char label[64];
            std::snprintf(label, sizeof label, "blocks %u, gaps under %llu merged", blockSize,
                          static_cast<unsigned long long>(gap));
            Report(label, merged, target.zci.size() + recordBytes, 1 + recordRequests);
        }
    }
    if (!sound)
        std::fprintf(stderr, "a plan takes bytes that differ from the new file's\n");
    return sound;
}

struct Wire {
    uint64_t bytes = 0;
    uint64_t requests = 0;
};

// What updating `old` to `now` through the indexes puts on the wire, as a client does it:
// the .zci, the .zcb ranges of the missing chunks, then the merged remote ranges.
Wire ThroughIndexes(const std::vector<uint8_t>& old, const std::vector<uint8_t>& now) {
    const zefo::ReadLocal read = ReaderOf(old);
    const Indexed target = IndexOf(now, zefo::kDefaultBlockSize);
    const zefo::ChunkLookup lookup(target.index.chunks);
    const std::vector<zefo::LocalSource> sources = SourcesOf(old, lookup);
    const Plan chunks = zefo::PlanChunks(lookup, sources);
    Wire wire{target.zci.size() + kRequestOverhead, 1};
    std::vector<zefo::Span> found;
    for (const zefo::BlockSearch& search :
         zefo::BlockSearches(chunks, target.index.chunks, sources, zefo::kDefaultRegionSlack)) {
        const zefo::ByteRange range = zefo::BlockRecordRange(target.index, search.firstChunk, search.chunkCount);
        std::vector<zefo::BlockRecord> records;
        zefo::ParseBlockRecords(std::string_view(target.zcb).substr(range.offset, range.length),
                                range.length / zefo::kBlockRecordSize, records);
        wire.bytes += range.length + kRequestOverhead;
        ++wire.requests;
        const std::vector<zefo::Span> more =
            zefo::FindBlocks(search, target.index.chunks, records, zefo::kDefaultBlockSize, read);
        found.insert(found.end(), more.begin(), more.end());
    }
    const Plan plan = zefo::MergeRemote(zefo::WithLocalSpans(chunks, found), zefo::kDefaultMergeGap);
    if (!Sound(plan, old, now))
        std::fprintf(stderr, "a plan takes bytes that differ from the new file's\n");
    const zefo::PlanTotals totals = zefo::Totals(plan);
    wire.bytes += totals.remoteBytes + totals.remoteRanges * kRequestOverhead;
    wire.requests += totals.remoteRanges;
    return wire;
}

// Seconds on a link of `bitsPerSecond` and `roundTrip` seconds, every request after the last.
double Seconds(const Wire& wire, double bitsPerSecond, double roundTrip) {
    return static_cast<double>(wire.bytes) * 8 / bitsPerSecond + static_cast<double>(wire.requests) * roundTrip;
}

int SizeLine() {
    struct Link {
        const char* name;
        double bitsPerSecond;
        double roundTrip;
    };
    const Link links[] = {
        {"10 Mbit/s 50 ms", 10e6, 0.050}, {"100 Mbit/s 20 ms", 100e6, 0.020}, {"1 Gbit/s 5 ms", 1e9, 0.005}};
    std::printf("%-8s %-10s %9s %8s %4s", "size", "edit", "whole", "indexes", "req");
    for (const Link& link : links)
        std::printf("  %16s", link.name);
    std::printf("\n");
    for (size_t kib : {64, 128, 256, 512, 768, 1024, 2048, 4096, 16384}) {
        const std::vector<uint8_t> old = RandomBytes(kib << 10, 10 + kib);
        for (int edit = 0; edit < 3; ++edit) {
            std::vector<uint8_t> now = old;
            const std::vector<uint8_t> bytes = RandomBytes(edit == 1 ? 1024 : 4096, 20 + kib);
            const auto middle = now.begin() + static_cast<ptrdiff_t>(now.size() / 2);
            if (edit == 0)
                std::copy(bytes.begin(), bytes.end(), middle);
            else if (edit == 1)
                now.insert(middle, bytes.begin(), bytes.end());
            else
                now = RandomBytes(old.size(), 30 + kib);  // nothing left to reuse: the indexes' worst case
            const Wire whole{now.size() + kRequestOverhead, 1};
            const Wire delta = ThroughIndexes(old, now);
            const char* const edits[] = {"4 KiB over", "+1 KiB", "all new"};
            std::printf("%5zu KiB %-10s %9llu %8llu %4llu", kib, edits[edit],
                        static_cast<unsigned long long>(whole.bytes), static_cast<unsigned long long>(delta.bytes),
                        static_cast<unsigned long long>(delta.requests));
            // The time the indexes save (negative: they cost more than the whole file).
            for (const Link& link : links)
                std::printf("  %+13.1f ms", 1000 * (Seconds(whole, link.bitsPerSecond, link.roundTrip) -
                                                    Seconds(delta, link.bitsPerSecond, link.roundTrip)));
            std::printf("\n");
        }
    }
    return 0;
}

// 64 MiB: pseudo-random, or the first 64 MiB of `path`; empty when it has fewer.
std::vector<uint8_t> OldFile(const char* path) {
    constexpr size_t kSize = size_t{64} << 20;
    if (!path)
        return RandomBytes(kSize, 2);
    std::vector<uint8_t> old(kSize);
    std::FILE* file = std::fopen(path, "rb");
    const size_t got = file ? std::fread(old.data(), 1, kSize, file) : 0;
    if (file)
        std::fclose(file);
    if (got != kSize) {
        std::fprintf(stderr, "%s: fewer than 64 MiB\n", path);
        old.clear();
    }
    return old;
}

// `old` with ten 4 KiB overwrites, ten 1 KiB insertions and 1 MiB appended.
std::vector<uint8_t> Edited(const std::vector<uint8_t>& old, Random& random) {
    std::vector<uint8_t> now = old;
    for (int i = 0; i < 10; ++i) {
        const std::vector<uint8_t> bytes = RandomBytes(4096, 100 + i);
        std::memcpy(now.data() + random.Below(now.size() - 4096), bytes.data(), 4096);
    }
    for (int i = 0; i < 10; ++i) {
        const std::vector<uint8_t> bytes = RandomBytes(1024, 200 + i);
        now.insert(now.begin() + static_cast<ptrdiff_t>(random.Below(now.size())), bytes.begin(), bytes.end());
    }
    const std::vector<uint8_t> tail = RandomBytes(1 << 20, 300);
    now.insert(now.end(), tail.begin(), tail.end());
    return now;
}

int Delta(const char* path) {
    const std::vector<uint8_t> old = OldFile(path);
    if (old.empty())
        return 2;
    Random random{3};
    std::vector<uint8_t> now = Edited(old, random);
    std::printf("== old %zu bytes, new %zu bytes: ten 4 KiB overwrites, ten 1 KiB insertions, 1 MiB appended\n",
                old.size(), now.size());
    bool sound = Analyse(old, now, {0, 4096});

    // Small changes close together (a table of offsets rewritten): the gaps between the
    // blocks they touch decide how many ranges are fetched.
    now = old;
    for (int i = 0; i < 100; ++i) {
        const std::vector<uint8_t> bytes = RandomBytes(16, 400 + i);
        std::memcpy(now.data() + (32 << 20) + random.Below(512 << 10), bytes.data(), bytes.size());
    }
    std::printf("== the same old file, new: 100 overwrites of 16 bytes within 512 KiB\n");
    sound = Analyse(old, now, {0, 512, 2048, 4096, 8192, 16384}) && sound;
    return sound ? 0 : 1;
}

// Serves ranges of `bytes` from memory.
zefo::FetchRange Serve(const std::string& bytes) {
    return [&bytes](uint64_t offset, uint64_t length, zefo::RangeWriter& out) {
        if (offset > bytes.size() || length > bytes.size() - offset)
            return -1;
        return out.Write(bytes.data() + offset, static_cast<size_t>(length)) ? 0 : -1;
    };
}

void WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int Update(const char* path) {
    const std::vector<uint8_t> old = OldFile(path);
    if (old.empty())
        return 2;
    Random random{3};
    const std::vector<uint8_t> now = Edited(old, random);
    const Indexed target = IndexOf(now, zefo::kDefaultBlockSize);
    const Indexed remembered = IndexOf(old, zefo::kDefaultBlockSize);
    const std::string server(now.begin(), now.end());
    zefo::DownloadChecks listed;
    zefo::Md5 md5;
    md5.Update(now.data(), now.size());
    listed.md5 = md5.FinalHex();
    listed.size = static_cast<int64_t>(now.size());

    std::error_code error;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path(error) / ("chunk_bench-" + std::to_string(random.Next()));
    zefo::SafeFolder folder;
    if (error || !std::filesystem::create_directory(dir, error) ||
        folder.Open(dir.string(), "", false) != zefo::SafeFolder::OpenResult::Opened) {
        std::fprintf(stderr, "no temporary folder\n");
        return 2;
    }
    WriteWhole((dir / "old.pak").string(), old);
    zefo::NativeFile oldFile = folder.OpenForReading("old.pak");

    double chunking = 1e30, planning = 1e30, fetching = 1e30, assembling = 1e30, wholeWrite = 1e30;
    zefo::DeltaBytes bytes;
    bool sound = true;
    for (int run = 0; run < 3; ++run) {
        Clock::time_point start = Clock::now();
        zefo::DeltaSources chunked(target.index);
        sound = chunked.AddOldFile(oldFile, nullptr) && sound;
        chunking = std::min(chunking, Since(start));

        // The plan's time includes looking up the remembered chunks in the new index.
        start = Clock::now();
        zefo::DeltaSources sources(target.index);
        sources.AddOldFile(oldFile, zefo::FeedOf(remembered.index));
        const zefo::DeltaPlan plan = zefo::PlanDelta(target.index, sources, Serve(target.zcb));
        planning = std::min(planning, Since(start));
        bytes = zefo::CountDeltaBytes(target.index, plan);

        folder.Remove("new.pak.part");
        zefo::NativeFile temporary = folder.CreateNew("new.pak.part");
        start = Clock::now();
        for (const zefo::ByteRange& range : plan.remote)
            sound = zefo::FetchInto(temporary, range, Serve(server)) == zefo::DeltaResult::Done && sound;
        fetching = std::min(fetching, Since(start));
        start = Clock::now();
        sound = zefo::AssembleDelta(target.index, plan, sources, temporary, listed) == zefo::DeltaResult::Done && sound;
        assembling = std::min(assembling, Since(start));

        // What a whole download costs on the disk side: the file written and its MD5 taken.
        folder.Remove("whole.pak");
        zefo::NativeFile whole = folder.CreateNew("whole.pak");
        start = Clock::now();
        zefo::Md5 check;
        for (size_t at = 0; at < server.size(); at += kFeed) {
            const std::string_view piece = std::string_view(server).substr(at, kFeed);
            check.Update(piece.data(), piece.size());
            sound = zefo::WriteAllToFile(whole, piece) && sound;
        }
        sound = check.FinalHex() == listed.md5 && sound;
        wholeWrite = std::min(wholeWrite, Since(start));
    }
    oldFile.Reset();
    std::filesystem::remove_all(dir, error);

    const double size = static_cast<double>(now.size());
    std::printf("== old %zu bytes, new %zu bytes (the edits of delta), on disk\n", old.size(), now.size());
    std::printf("old file chunked now:             %.3f s, %.0f MB/s\n", chunking,
                static_cast<double>(old.size()) / chunking / 1e6);
    std::printf("plan (remembered index, blocks):  %.3f s\n", planning);
    std::printf("ranges written at their offsets:  %.3f s\n", fetching);
    std::printf("copies and the checking pass:     %.3f s, %.0f MB/s of the new file\n", assembling,
                size / assembling / 1e6);
    std::printf("a whole download's write and MD5: %.3f s, %.0f MB/s\n", wholeWrite, size / wholeWrite / 1e6);
    std::printf("fetch %llu of %llu bytes in %llu ranges, indexes %llu bytes: %.3f %% of the file\n",
                static_cast<unsigned long long>(bytes.fetched), static_cast<unsigned long long>(bytes.fileSize),
                static_cast<unsigned long long>(bytes.ranges), static_cast<unsigned long long>(bytes.indexBytes),
                100.0 * static_cast<double>(bytes.total()) / size);
    if (!sound)
        std::fprintf(stderr, "the update did not make the new file\n");
    return sound ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "chunk" && argc <= 3)
        return Chunking(argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 1024);
    if (mode == "write" && (argc == 3 || argc == 4))
        return Writing(argv[2],
                       argc == 4 ? static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)) : zefo::kDefaultBlockSize);
    if (mode == "delta" && argc <= 3)
        return Delta(argc == 3 ? argv[2] : nullptr);
    if (mode == "update" && argc <= 3)
        return Update(argc == 3 ? argv[2] : nullptr);
    if (mode == "line" && argc == 2)
        return SizeLine();
    std::fprintf(stderr, "usage: %s chunk [MiB] | write FILE [BLOCK] | delta [FILE] | update [FILE] | line\n", argv[0]);
    return 2;
}
