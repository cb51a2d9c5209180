// Remembered fingerprints on real files: what is read again and what is not.
#include "sync/fingerprint_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "base/native_file.h"
#include "common/recording_observer.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "common/test_data.h"
#include "net/tcp_client.h"
#include "support/translations.h"
#include "sync/game_files.h"
#include "sync/incoming_file.h"

namespace zefo::test {
namespace {

namespace fs = std::filesystem;

class FingerprintCacheTest : public ::testing::Test {
  protected:
    // A file last written an hour ago: one the cache may trust once it has read it.
    void Write(const std::string& path, const std::string& bytes, int hoursAgo = 1) {
        WriteFileBytes(game / path, bytes);
        fs::last_write_time(fs::u8path(game / path), fs::file_time_type::clock::now() - std::chrono::hours(hoursAgo));
    }
    std::shared_ptr<FingerprintCache> Open(const std::string& identity = {}) {
        return FingerprintCache::AtFile(store / "files.cache", identity.empty() ? game.path() : identity);
    }
    // The check of the updater over `files`; the cache's reads during it.
    uint64_t ReadsOfCheck(FingerprintCache& cache, std::vector<LocalState>* states = nullptr) {
        const uint64_t before = cache.Reads();
        FileList copy = files;
        std::vector<LocalState> result = CompareGame(game.path(), copy, &cache, observer);
        if (states)
            *states = result;
        return cache.Reads() - before;
    }

    TempDir game;
    TempDir store;
    FileList files;
    RecordingObserver observer;
};

TEST_F(FingerprintCacheTest, OnlyFilesWhoseStampChangedAreReadAgain) {
    Write("a.pak", "alpha");
    Write("b.pak", "bravo");
    Write("c.pak", "charlie");
    files = {{"a.pak", Md5Of("alpha")}, {"b.pak", Md5Of("bravo")}, {"c.pak", Md5Of("charlie")}};
    EXPECT_EQ(ReadsOfCheck(*Open()), 3u);
    // Saved by the check: a new start reads nothing.
    EXPECT_EQ(ReadsOfCheck(*Open()), 0u);

    Write("a.pak", "alpha, longer");  // size changed, time kept old
    Write("b.pak", "BRAVO", 2);       // same size, another time
    fs::remove(fs::u8path(game / "c.pak"));
    fs::create_directory(fs::u8path(game / "c.pak"));  // a folder in the file's place
    std::vector<LocalState> states;
    EXPECT_EQ(ReadsOfCheck(*Open(), &states), 2u);
    EXPECT_EQ(states, (std::vector<LocalState>{LocalState::Differs, LocalState::Differs, LocalState::Differs}));
    EXPECT_EQ(observer.ProgressSteps().back(), 100);
}

TEST_F(FingerprintCacheTest, ADamagedOrForeignCacheIsIgnoredAndWrittenAnew) {
    Write("a.pak", "alpha");
    files = {{"a.pak", Md5Of("alpha")}};
    EXPECT_EQ(ReadsOfCheck(*Open()), 1u);
    const std::string good = ReadFileBytes(store / "files.cache");

    // Another game's folder: its fingerprints say nothing about these files.
    EXPECT_EQ(ReadsOfCheck(*Open("/somewhere/else/")), 1u);
    // A line that does not parse throws the whole file away, and so does a file of the
    // earlier format.
    const std::string earlier = "zefo fingerprints 1\n" + game.path() + "\n5 1 0 0 9 " + Md5Of("alpha") + " a.pak\n";
    for (const std::string& damage :
         {good.substr(0, good.size() - 5), std::string("garbage\n"), good + "1 2 3\n", earlier}) {
        WriteFileBytes(store / "files.cache", damage);
        EXPECT_EQ(ReadsOfCheck(*Open()), 1u) << damage;
        EXPECT_EQ(ReadsOfCheck(*Open()), 0u) << "written anew";
    }
}

TEST_F(FingerprintCacheTest, AFileWrittenJustBeforeItWasReadIsReadAgain) {
    // Within the same instant a write could keep the stamp: no trust until it is older.
    Write("fresh.pak", "fresh", 0);
    files = {{"fresh.pak", Md5Of("fresh")}};
    EXPECT_EQ(ReadsOfCheck(*Open()), 1u);
    EXPECT_EQ(ReadsOfCheck(*Open()), 1u);
}

TEST_F(FingerprintCacheTest, DownloadsAreRememberedWithTheirVerifiedDigest) {
    ASSERT_TRUE(NetworkStartup());
    LoadTranslations("en");
    ScriptedServer server;
    const std::string big = Pattern(static_cast<size_t>(kFlushedFileSize), 4);
    server.EnqueueReply(HttpResponse("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(big.size())}, big));
    // A big file that came whole has its chunk index asked for, to remember: this server has none.
    server.EnqueueReply(HttpResponse("HTTP/1.1 404 Not Found", {"Content-Length: 0"}, ""));
    server.EnqueueReply(HttpResponse("HTTP/1.1 200 OK", {"Content-Length: 4"}, "data"));
    files = {{"big.pak", Md5Of(big)}, {"small.pak", Md5Of("data")}};
    {
        std::shared_ptr<FingerprintCache> cache = Open();
        UpdateGame({server.Host(), "game"}, game.path(), files, "", observer, cache.get());
        EXPECT_EQ(cache->Reads(), 0u);
    }
    EXPECT_EQ(ReadFileBytes(game / "small.pak"), "data");
    // A small file that was not flushed on its own is read once more, unless the run's
    // end synced the whole file system.
    EXPECT_EQ(ReadsOfCheck(*Open()), SyncsWholeFileSystem() ? 0u : 1u);
    NetworkShutdown();
}

}  // namespace
}  // namespace zefo::test
