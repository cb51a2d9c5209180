// Updates of real files in a temporary folder from what the disk holds: the server is a
// callback that serves the real new file's bytes (and, in some cases, lies), the ranges
// are fetched on several threads in reverse order, and the assembled temporary file
// must be the new file byte for byte, or the update must end with its own failure.
#include "sync/delta_update.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "common/temp_dir.h"
#include "common/test_data.h"
#include "net/crypto.h"
#include "sync/remembered_indexes.h"

namespace zefo::test {
namespace {

struct Published {
    std::string bytes;
    std::string zci;
    std::string zcb;
    ChunkIndex index;
    DownloadChecks listed;
};

Published Publish(std::string bytes) {
    Published file;
    file.bytes = std::move(bytes);
    ChunkIndexWriter writer;
    writer.Update(file.bytes.data(), file.bytes.size());
    EXPECT_TRUE(writer.Finish(file.zci, file.zcb));
    EXPECT_TRUE(ParseChunkIndex(file.zci, file.index));
    file.listed.md5 = Md5Of(file.bytes);
    file.listed.sha256 = Sha256Hex(file.bytes);
    file.listed.size = static_cast<int64_t>(file.bytes.size());
    return file;
}

// Serves ranges of `bytes` in pieces, counting what it sends.
FetchRange Serve(const std::string& bytes, std::atomic<uint64_t>& sent) {
    return [&bytes, &sent](uint64_t offset, uint64_t length, RangeWriter& out) {
        if (offset > bytes.size() || length > bytes.size() - offset)
            return -1;
        for (uint64_t done = 0; done < length;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(40000, length - done));
            if (!out.Write(bytes.data() + offset + done, piece))
                return -1;
            sent += piece;
            done += piece;
        }
        return 0;
    };
}

// A game folder with files in it.
class Game {
  public:
    Game() { EXPECT_EQ(folder_.Open(dir_.path(), "", false), SafeFolder::OpenResult::Opened); }
    const SafeFolder& folder() const { return folder_; }
    const TempDir& dir() const { return dir_; }
    NativeFile Write(const std::string& name, const std::string& bytes) {
        WriteFileBytes(dir_ / name, bytes);
        return folder_.OpenForReading(name);
    }
    // The temporary file of `name`, held as the download would hold it: a new one unless
    // `leftover`.
    NativeFile Temporary(const std::string& name, bool leftover = false) {
        if (!leftover) {
            EXPECT_TRUE(folder_.Remove(name + ".part"));
        }
        NativeFile file;
        bool existed = false;
        EXPECT_EQ(folder_.Hold(name + ".part", file, existed), SafeFolder::HoldResult::Held);
        return file;
    }

  private:
    TempDir dir_;
    SafeFolder folder_;
};

// What the held file `file` holds.
std::string Held(const NativeFile& file) {
    std::string bytes(static_cast<size_t>(std::max<int64_t>(FileSizeOf(file), 0)), '\0');
    EXPECT_EQ(ReadAtOffset(file, 0, bytes.data(), bytes.size()), static_cast<int64_t>(bytes.size()));
    return bytes;
}

struct Outcome {
    DeltaResult result = DeltaResult::Done;
    DeltaBytes bytes;
};

// One update of `file` into `temporary` over `sources`: the remote ranges in reverse
// order on three threads, then the assembly.
Outcome Update(const Published& file,
               const DeltaSources& sources,
               const NativeFile& temporary,
               const FetchRange& fetch,
               const FetchRange& blockRecords) {
    const DeltaPlan plan = PlanDelta(file.index, sources, blockRecords);
    Outcome outcome;
    outcome.bytes = CountDeltaBytes(file.index, plan);
    std::vector<ByteRange> ranges(plan.remote.rbegin(), plan.remote.rend());
    std::atomic<size_t> next{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&] {
            for (size_t i = next++; i < ranges.size(); i = next++) {
                if (FetchInto(temporary, ranges[i], fetch) != DeltaResult::Done)
                    ++failures;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    outcome.result =
        failures > 0 ? DeltaResult::FetchFailed : AssembleDelta(file.index, plan, sources, temporary, file.listed);
    return outcome;
}

std::string Edited(std::string bytes) {
    uint32_t seed = 10;
    for (uint64_t at : {150000, 600000, 900000, 1400000, 1800000, 2300000, 2700000, 3100000, 3500000, 3900000})
        bytes.replace(at, 200, Pattern(200, seed++));
    for (uint64_t at : {400000, 1200000, 2500000, 3300000})
        bytes.insert(at, Pattern(700, seed++));
    return bytes + Pattern(30000, seed);
}

TEST(DeltaUpdateTest, ScatteredEditsAreRebuiltByteExactlyFetchingLittleMoreThanTheChanges) {
    Game game;
    const std::string old = Pattern(4 << 20, 1);
    const Published file = Publish(Edited(old));
    std::atomic<uint64_t> sent{0}, recordsSent{0};
    NativeFile oldFile = game.Write("data.pak", old);
    DeltaSources sources(file.index);
    ASSERT_TRUE(sources.AddOldFile(oldFile, nullptr));
    NativeFile temporary = game.Temporary("data.pak");

    const Outcome outcome = Update(file, sources, temporary, Serve(file.bytes, sent), Serve(file.zcb, recordsSent));
    ASSERT_EQ(outcome.result, DeltaResult::Done);
    EXPECT_TRUE(Held(temporary) == file.bytes);
    // 2,000 overwritten, 2,800 inserted and 30,000 appended bytes; each edit costs at
    // most a few blocks around it and a merged gap.
    EXPECT_EQ(sent, outcome.bytes.fetched);
    EXPECT_GE(outcome.bytes.fetched, 34800u);
    EXPECT_LT(outcome.bytes.fetched, 34800u + 14 * 4 * 1024);
    EXPECT_EQ(outcome.bytes.fetched + outcome.bytes.reused, file.bytes.size());
    EXPECT_EQ(outcome.bytes.fileSize, file.bytes.size());
    EXPECT_EQ(outcome.bytes.indexBytes, file.zci.size() + recordsSent);
    EXPECT_LT(outcome.bytes.total(), file.bytes.size() / 20);

    // The same at chunk level only, and with block records that fail or lie: a worse
    // plan, never a wrong file.
    temporary.Reset();
    const std::string garbage(file.zcb.size(), '\x5a');
    for (const FetchRange& records :
         {FetchRange(), FetchRange([](uint64_t, uint64_t, RangeWriter&) { return -1; }), Serve(garbage, recordsSent)}) {
        NativeFile again = game.Temporary("data.pak");
        const Outcome coarse = Update(file, sources, again, Serve(file.bytes, sent), records);
        ASSERT_EQ(coarse.result, DeltaResult::Done);
        EXPECT_GT(coarse.bytes.fetched, 3 * outcome.bytes.fetched);
        EXPECT_LT(coarse.bytes.fetched, file.bytes.size() / 3);
        EXPECT_TRUE(Held(again) == file.bytes);
    }
}

TEST(DeltaUpdateTest, EverySurpriseEndsWithAFailureOfItsOwn) {
    Game game;
    const std::string old = Pattern(4 << 20, 2);
    const Published file = Publish(Edited(old));
    std::atomic<uint64_t> sent{0};
    NativeFile oldFile = game.Write("data.pak", old);
    DeltaSources sources(file.index);
    ASSERT_TRUE(sources.AddOldFile(oldFile, nullptr));

    // An index of another file, or of another size or SHA-256; letter case and an
    // unknown size or SHA-256 do not matter.
    EXPECT_TRUE(CheckIndexAgainstListing(file.index.header, file.listed));
    DownloadChecks listed = file.listed;
    std::transform(listed.md5.begin(), listed.md5.end(), listed.md5.begin(), ::toupper);
    listed.size = -1;
    listed.sha256.clear();
    EXPECT_TRUE(CheckIndexAgainstListing(file.index.header, listed));
    for (auto change : std::vector<std::function<void(DownloadChecks&)>>{
             [](DownloadChecks& c) { c.md5 = Md5Of("other"); }, [](DownloadChecks& c) { c.md5.clear(); },
             [](DownloadChecks& c) { ++c.size; }, [](DownloadChecks& c) { c.sha256 = Sha256Hex("other"); }}) {
        listed = file.listed;
        change(listed);
        EXPECT_FALSE(CheckIndexAgainstListing(file.index.header, listed));
        const DeltaPlan plan = PlanDelta(file.index, sources, {});
        EXPECT_EQ(AssembleDelta(file.index, plan, sources, game.Temporary("data.pak"), listed),
                  DeltaResult::IndexMismatch);
    }

    // A range that fails, comes short or runs long.
    const FetchRange fails = [](uint64_t, uint64_t, RangeWriter&) { return -1; };
    const FetchRange shorter = [&file](uint64_t offset, uint64_t length, RangeWriter& out) {
        return out.Write(file.bytes.data() + offset, length - 1) ? 0 : -1;
    };
    const FetchRange longer = [&file](uint64_t offset, uint64_t length, RangeWriter& out) {
        return out.Write(file.bytes.data() + offset, length + 1) ? 0 : -1;
    };
    for (const FetchRange& fetch : {fails, shorter, longer})
        EXPECT_EQ(Update(file, sources, game.Temporary("data.pak"), fetch, {}).result, DeltaResult::FetchFailed);

    // Wrong bytes in a fetched range.
    std::string lies = file.bytes;
    lies[file.bytes.size() - 100] ^= 1;
    EXPECT_EQ(Update(file, sources, game.Temporary("data.pak"), Serve(lies, sent), {}).result,
              DeltaResult::ChunkMismatch);

    // A remembered index that names chunks its file no longer holds: only the whole
    // file's MD5 can tell.
    std::string changed = file.bytes;
    changed[1000] ^= 1;
    NativeFile stale = game.Write("stale.pak", changed);
    DeltaSources lying(file.index);
    lying.AddIndexedFile(stale, file.index);
    EXPECT_EQ(Update(file, lying, game.Temporary("data.pak"), Serve(file.bytes, sent), {}).result,
              DeltaResult::FileMismatch);
}

TEST(DeltaUpdateTest, ARenamedFileComesFromItsRememberedIndexAndIndexesAreCheckedAndPruned) {
    Game game;
    TempDir store;
    const Published file = Publish(Pattern(3 << 20, 3));
    auto cache = FingerprintCache::AtFile(store / "files.cache", game.dir().path());
    const RememberedIndexes indexes(cache->file());
    EXPECT_EQ(indexes.folder(), store / "files.indexes");

    // The file as an earlier update committed it, under its old name.
    NativeFile renamed = game.Write("old.pak", file.bytes);
    cache->Remember(game.folder(), "old.pak", "old.pak", file.listed.md5);
    EXPECT_FALSE(indexes.Keep(file.zci, Md5Of("other")));
    ASSERT_TRUE(indexes.Keep(file.zci, file.listed.md5));
    RememberedFile entry;
    ASSERT_TRUE(cache->Entry("old.pak", entry));
    FileStamp stamp;
    ASSERT_TRUE(StampOf(renamed, stamp));
    ChunkIndex remembered;
    ASSERT_TRUE(indexes.Find(entry, stamp, remembered));
    EXPECT_EQ(remembered.chunks, file.index.chunks);

    std::atomic<uint64_t> sent{0};
    DeltaSources sources(file.index);
    sources.AddIndexedFile(renamed, remembered);
    NativeFile temporary = game.Temporary("new.pak");
    const Outcome outcome = Update(file, sources, temporary, Serve(file.bytes, sent), Serve(file.zcb, sent));
    ASSERT_EQ(outcome.result, DeltaResult::Done);
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(outcome.bytes.reused, file.bytes.size());
    EXPECT_TRUE(Held(temporary) == file.bytes);

    // Not trusted for a file whose stamp changed, nor when the kept bytes are damaged.
    FileStamp touched = stamp;
    ++touched.modified;
    EXPECT_FALSE(indexes.Find(entry, touched, remembered));
    EXPECT_TRUE(remembered.chunks.empty());
    const std::string kept = indexes.folder() + "/" + file.listed.md5 + ".zci";
    std::string damaged = ReadFileBytes(kept);
    damaged.pop_back();
    WriteFileBytes(kept, damaged);
    EXPECT_FALSE(indexes.Find(entry, stamp, remembered));

    // Gone with the last entry that names its MD5; strays go too.
    WriteFileBytes(indexes.folder() + "/stray.zci.tmp", "x");
    RememberedFiles files = cache->Entries();
    EXPECT_EQ(indexes.Prune(files), 1u);
    EXPECT_TRUE(FileExists(kept));
    files.clear();
    EXPECT_EQ(indexes.Prune(files), 1u);
    EXPECT_FALSE(FileExists(kept));
}

TEST(DeltaUpdateTest, ALeftoverTemporaryFileAndADamagedFileGiveBackWhatTheyHold) {
    Game game;
    const std::string zeros(1 << 20, '\0');
    const Published file =
        Publish(Pattern(1 << 20, 4) + zeros + Pattern(1 << 20, 5) + zeros + zeros + Pattern(300000, 6));
    std::atomic<uint64_t> sent{0};

    // An earlier attempt stopped after 2.5 MiB. The zeros after it are taken from the
    // zeros it holds in place, which no fetch or copy overwrites.
    WriteFileBytes(game.dir() / "data.pak.part", file.bytes.substr(0, 2621440) + Pattern(5000, 7));
    NativeFile temporary = game.Temporary("data.pak", true);
    DeltaSources sources(file.index);
    sources.AddLeftover(temporary);
    Outcome outcome = Update(file, sources, temporary, Serve(file.bytes, sent), Serve(file.zcb, sent));
    ASSERT_EQ(outcome.result, DeltaResult::Done);
    EXPECT_TRUE(Held(temporary) == file.bytes);
    EXPECT_LT(outcome.bytes.fetched, (1 << 20) - 524288 + 300000 + 2 * 256 * 1024);

    // A leftover of another version, whose bytes after an insertion lie shifted: they
    // would be overwritten before they could be copied, so they are fetched.
    temporary.Reset();
    const Published inserted = Publish(file.bytes.substr(0, 1500000) + Pattern(3000, 8) + file.bytes.substr(1500000));
    WriteFileBytes(game.dir() / "data.pak.part", file.bytes);
    temporary = game.Temporary("data.pak", true);
    DeltaSources shifted(inserted.index);
    shifted.AddLeftover(temporary);
    outcome = Update(inserted, shifted, temporary, Serve(inserted.bytes, sent), Serve(inserted.zcb, sent));
    ASSERT_EQ(outcome.result, DeltaResult::Done);
    EXPECT_TRUE(Held(temporary) == inserted.bytes);
    EXPECT_GT(outcome.bytes.reused, 1400000u);

    // A file damaged here and there, cut short, healed from its own intact chunks.
    std::string damaged = file.bytes.substr(0, file.bytes.size() - 1000);
    for (size_t at : {size_t{5000}, size_t{1500000}, size_t{2200000}, size_t{4500000}})
        damaged[at] ^= 0x40;
    temporary.Reset();
    NativeFile local = game.Write("data.pak", damaged);
    DeltaSources own(file.index);
    ASSERT_TRUE(own.AddOldFile(local, nullptr));
    sent = 0;
    NativeFile healed = game.Temporary("data.pak");
    outcome = Update(file, own, healed, Serve(file.bytes, sent), Serve(file.zcb, sent));
    ASSERT_EQ(outcome.result, DeltaResult::Done);
    EXPECT_TRUE(Held(healed) == file.bytes);
    EXPECT_LT(outcome.bytes.fetched, 5 * 4096u);
}

}  // namespace
}  // namespace zefo::test
