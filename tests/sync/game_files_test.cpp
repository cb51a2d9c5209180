// The engine's installation and update, without a window: what a front end such as the
// command-line client gets. The window program's behaviour is pinned by the worker
// tests in tests/app.
#include "sync/game_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/file_system.h"
#include "common/environment.h"
#include "common/net_test.h"
#include "common/recording_observer.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "common/test_data.h"
#include "common/wait.h"
#include "net/tcp_client.h"
#include "support/translations.h"
#include "sync/incoming_file.h"
#include "sync/installed_game.h"
#include "sync/self_update.h"

namespace zefo::test {
namespace {

std::string Reply(const std::string& body) {
    return HttpResponse("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
}

class GameFilesTest : public NetTest {
  protected:
    static FileList List(const std::vector<std::pair<std::string, std::string>>& entries) {
        FileList files;
        for (const auto& [path, fingerprint] : entries)
            files.emplace_back(path, fingerprint);
        return files;
    }

    ScriptedServer server;
    GameSource source{server.Host(), "game"};
    TempDir folder;
};

TEST_F(GameFilesTest, WithoutAnUpdaterOfItsOwnTheUpdaterIsAnOrdinaryFile) {
    // A front end that is not Update.exe replaces it in place: no copy, no script.
    WriteFileBytes(folder / "Update.exe", "old updater");
    FileList files = List({{"Update.exe", Md5Of("new updater")}});
    server.EnqueueReply(Reply("new updater"));
    RunResult result = UpdateGame(source, folder.path(), files, "", observer);
    EXPECT_EQ(result.failed, 0);
    EXPECT_EQ(result.swapScript, SwapScript::Untouched);
    EXPECT_EQ(ReadFileBytes(folder / "Update.exe"), "new updater");
    EXPECT_FALSE(FileExists(folder / "Update_copy.exe"));
    EXPECT_FALSE(FileExists(folder / "Update.bat"));
    EXPECT_EQ(observer.Lines(),
              (std::vector<std::string>{"Loading \"Update.exe\"...", "The game has been updated successfully ."}));
    EXPECT_EQ(observer.Files(), (std::vector<std::pair<std::string, bool>>{{"Update.exe", true}}));
}

TEST_F(GameFilesTest, AStopRequestEndsTheRunAndKeepsTheOldFile) {
    const std::string big = Pattern(300000, 7);
    WriteFileBytes(folder / "big.bin", "old big");
    FileList files = List({{"big.bin", Md5Of(big)}, {"later.bin", Md5Of("later")}});
    // Half of the body, then the server waits for the test.
    server.Enqueue(Script()
                       .AwaitRequest()
                       .Send("HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n" + big.substr(0, 150000))
                       .Mark(1)
                       .AwaitGate(1)
                       .Send(big.substr(150000))
                       .Close());
    std::thread stopper([&] {
        if (server.WaitForMark(1, 20000)) {
            observer.RequestStop();
            server.OpenGate(1);
        }
    });
    RunResult result = UpdateGame(source, folder.path(), files, "", observer);
    stopper.join();
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(ReadFileBytes(folder / "big.bin"), "old big");
    EXPECT_FALSE(FileExists(folder / "later.bin"));
    // No temporary file is left behind, and no final line claims an outcome.
    std::vector<std::string> lines = observer.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Loading \"big.bin\"...");
    EXPECT_EQ(lines[1], "Could not load \"big.bin\".");
    EXPECT_FALSE(FileExists(folder / "big.bin.zefotmp"));
    EXPECT_EQ(server.Connections(), 1u);
}

TEST_F(GameFilesTest, AnInstallIntoNoFolderFailsEveryFile) {
    FileList files = List({{"a.txt", Md5Of("a")}, {"b.txt", Md5Of("b")}});
    RunResult result = InstallGame(source, "", files, observer);
    EXPECT_EQ(result.failed, 2);
    EXPECT_EQ(observer.ProgressSteps(), (std::vector<int>{0, 50, 100}));
    EXPECT_EQ(observer.Lines().back(), "The game could not be installed. 2 file(s) could not be loaded.");
    EXPECT_EQ(server.Connections(), 0u);
}

TEST_F(GameFilesTest, SeveralDownloadsRunAtOnceEachOnAConnectionItKeeps) {
    GameSource parallel = source;
    parallel.connections = 3;
    // Which connection asks for which of the first three is open, so they share one body.
    const std::string body = Pattern(20000, 1);
    const std::string last = Pattern(30000, 2);
    FileList files = List({{"a.bin", Md5Of(body)},
                           {"b.bin", Md5Of(body)},
                           {"c.bin", Md5Of(body)},
                           {"missing.bin", Md5Of("x")},
                           {"d.bin", Md5Of(last)}});
    // Each of the first three answers only once all three have asked: one after another
    // they would never all ask. The first connection then serves the other two files
    // while the others still hold theirs back: five files over three connections.
    for (int i = 1; i <= 3; ++i) {
        Script script;
        script.AwaitRequest().Mark(i).AwaitGate(1);
        if (i == 1) {
            script.Send(Reply(body))
                .AwaitRequest()
                .Send(HttpResponse("HTTP/1.1 404 Not Found", {"Content-Length: 0"}, ""))
                .AwaitRequest()
                .Send(Reply(last))
                .Mark(4);
        } else {
            script.AwaitGate(2).Send(Reply(body));
        }
        server.Enqueue(script.Pause(200).Hangup());
    }
    std::thread opener([&] {
        if (server.WaitForMark(1, 20000) && server.WaitForMark(2, 20000) && server.WaitForMark(3, 20000)) {
            server.OpenGate(1);
            server.WaitForMark(4, 20000);
            server.OpenGate(2);
        }
    });
    RunResult result = InstallGame(parallel, folder.path(), files, observer);
    opener.join();
    EXPECT_EQ(result.failed, 1);
    EXPECT_EQ(server.Connections(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Md5Of(ReadFileBytes(folder / files[i].path)), Md5Of(body));
    EXPECT_EQ(Md5Of(ReadFileBytes(folder / "d.bin")), Md5Of(last));
    EXPECT_FALSE(FileExists(folder / "missing.bin"));
    // Lines of different files may interleave; each file has its own, and the end is as ever.
    std::vector<std::string> lines = observer.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Could not load \"missing.bin\"."), 1);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("Loading \"", 0) == 0; }),
              5);
    EXPECT_EQ(lines.back(), "The game could not be installed. 1 file(s) could not be loaded.");
    EXPECT_EQ(observer.ProgressSteps().back(), 100);
}

// A front end may take its time to show the progress (the window program waits for its
// window's thread) while other downloads end: what it is shown still only moves
// forward, each step a change, and ends at the whole.
TEST_F(GameFilesTest, AmongParallelDownloadsTheProgressIsShownInTheOrderReached) {
    class SlowProgress final : public Observer {
      public:
        void Status(const std::string&) override {}
        void Message(const std::string&, const std::string&) override {}
        void Progress(int percent) override {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            std::lock_guard guard(lock);
            steps.push_back(percent);
        }
        std::mutex lock;
        std::vector<int> steps;
    } slow;
    GameSource parallel = source;
    parallel.connections = 4;
    const std::string body = Pattern(3000, 3);
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < 40; ++i) {
        // Appended rather than "f" + std::to_string(i) + ".bin", which GCC 12 at -O3
        // takes for an overlapping copy (-Wrestrict).
        entries.emplace_back(std::string("f").append(std::to_string(i)).append(".bin"), Md5Of(body));
        server.EnqueueReply(Reply(body));
    }
    RunResult result = InstallGame(parallel, folder.path(), List(entries), slow);
    EXPECT_EQ(result.failed, 0);
    std::lock_guard guard(slow.lock);
    EXPECT_TRUE(std::is_sorted(slow.steps.begin(), slow.steps.end()));
    EXPECT_EQ(std::adjacent_find(slow.steps.begin(), slow.steps.end()), slow.steps.end());
    ASSERT_FALSE(slow.steps.empty());
    EXPECT_EQ(slow.steps.back(), 100);
}

TEST_F(GameFilesTest, AmongParallelDownloadsTheSwapIsReadiedOnlyOnceTheNewProgramIsComplete) {
    GameSource parallel = source;
    parallel.connections = 2;
    const std::string program = ProgramFileName();
    const bool script = program == "Update.exe";
    WriteFileBytes(folder / program, "old program");
    // Both files have one body, so either connection may serve either of them.
    const std::string body = Pattern(200000, 7);
    FileList files = List({{program, Md5Of(body)}, {"a.bin", Md5Of(body)}});
    for (int i = 1; i <= 2; ++i) {
        server.Enqueue(Script()
                           .AwaitRequest()
                           .Send(HttpResponse("HTTP/1.1 200 OK", {"Content-Length: 200000"}, body.substr(0, 120000)))
                           .Mark(i)
                           .AwaitGate(1)
                           .Send(body.substr(120000))
                           .Pause(200)
                           .Hangup());
    }
    bool halfway = false;
    std::thread watcher([&] {
        if (server.WaitForMark(1, 20000) && server.WaitForMark(2, 20000)) {
            // Both files are on their way: neither the copy nor its script exists yet.
            halfway = !FileExists(folder / ProgramCopyName()) && !FileExists(folder / "Update.bat");
            server.OpenGate(1);
        }
    });
    RunResult result = UpdateGame(parallel, folder.path(), files, program, observer);
    watcher.join();
    EXPECT_TRUE(halfway);
    EXPECT_EQ(result.failed, 0);
    EXPECT_EQ(result.swapScript, SwapScript::Written);
    EXPECT_EQ(Md5Of(ReadFileBytes(folder / ProgramCopyName())), Md5Of(body));
    EXPECT_EQ(FileExists(folder / "Update.bat"), script);
    EXPECT_EQ(ReadFileBytes(folder / program), "old program");
    EXPECT_EQ(Md5Of(ReadFileBytes(folder / "a.bin")), Md5Of(body));
}

TEST_F(GameFilesTest, TheNewProgramComesFromTheMirrorsLikeEveryFile) {
    ScriptedServer mirror;
    GameSource mirrored = source;
    mirrored.network.mirrors = {mirror.Url("copy")};
    const std::string program = ProgramFileName();
    const std::string body = Pattern(50000, 3);
    WriteFileBytes(folder / program, "old program");
    mirror.EnqueueReply(Reply(body));
    FileList files = List({{program, Md5Of(body)}});
    RunResult result = UpdateGame(mirrored, folder.path(), files, program, observer);
    EXPECT_EQ(result.failed, 0);
    EXPECT_EQ(result.swapScript, SwapScript::Written);
    EXPECT_EQ(ReadFileBytes(folder / ProgramCopyName()), body);
    EXPECT_EQ(ReadFileBytes(folder / program), "old program");
    EXPECT_EQ(mirror.Request(0).rfind("GET /copy/game/" + program + " ", 0), 0u) << mirror.Request(0);
    EXPECT_EQ(server.Connections(), 0u);
}

TEST_F(GameFilesTest, TheProgressMovesWhileALargeFileArrives) {
    const std::string big = Pattern(1'000'000, 5);
    FileList files = List({{"big.bin", Md5Of(big)}});
    server.Enqueue(Script()
                       .AwaitRequest()
                       .Send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + big.substr(0, 600'000))
                       .Mark(1)
                       .AwaitGate(1)
                       .Send(big.substr(600'000))
                       .Close());
    std::vector<int> whileArriving;
    std::thread watcher([&] {
        if (server.WaitForMark(1, 20000)) {
            // The first 60 % are on their way: the bar follows them before the file ends.
            ASSERT_TRUE(WaitUntil(
                [&] { return !observer.ProgressSteps().empty() && observer.ProgressSteps().back() >= 50; }, 20000));
            whileArriving = observer.ProgressSteps();
            server.OpenGate(1);
        }
    });
    RunResult result = InstallGame(source, folder.path(), files, observer);
    watcher.join();
    EXPECT_EQ(result.failed, 0);
    ASSERT_FALSE(whileArriving.empty());
    EXPECT_GE(whileArriving.back(), 50);
    EXPECT_LT(whileArriving.back(), 100);
    EXPECT_EQ(observer.ProgressSteps().back(), 100);
}

// The marker of an installed game names it, and an installation remembers what it wrote
// under that name: the game's first check reads no file it vouches for.
TEST_F(GameFilesTest, AnInstallationRemembersItsFilesUnderTheNameItsMarkerGives) {
    TempDir config;
    SetEnvironment("APPDATA", config.path());
    SetEnvironment("XDG_CONFIG_HOME", config.path());
    const std::string marker = "Marked Game\r\nmarked\r\n";
    const std::string big = Pattern(static_cast<size_t>(kFlushedFileSize), 5);
    FileList files = List({{"data/game.dat", Md5Of(marker)}, {"big.pak", Md5Of(big)}});
    server.EnqueueReply(Reply(marker));
    server.EnqueueReply(Reply(big));
    EXPECT_EQ(InstallAndRemember(source, folder.path(), files, observer).failed, 0);

    std::optional<InstalledGame> game = ReadInstalledGame(folder.path());
    ASSERT_TRUE(game.has_value());
    EXPECT_EQ(game->name, "Marked Game");
    EXPECT_EQ(game->folder, "marked");
    EXPECT_FALSE(ReadInstalledGame(config.path()).has_value());
    std::shared_ptr<FingerprintCache> cache = FingerprintCache::ForGame(game->name, folder.path());
    CompareGame(folder.path(), files, cache.get(), observer);
    // The small marker was not flushed on its own: read again unless the run synced it.
    EXPECT_EQ(cache->Reads(), SyncsWholeFileSystem() ? 0u : 1u);
}

// The names the program gives its own files in a game folder are refused in a list on
// every platform, in any letter case; below the top, or with more after them, they are
// ordinary names.
TEST(ProgramNamesTest, TheProgramsOwnNamesAreRefusedInAnyList) {
    TempDir game;
    for (const char* path : {"Update.bat", "update.BAT", "Update_copy.exe", "UPDATE_COPY.EXE", "Update.bat.new",
                             "update.exe.old", "Update.bat\\x.txt", "a.pak.zefotmp", "data\\b.zefotmp3", "x.ZEFOTMP",
                             "zefo-updater.new", "Zefo-Updater.NEW"}) {
        EXPECT_EQ(CompareListedFile(game.path(), path, Md5Of("")), LocalState::Refused) << path;
    }
    for (const char* path : {"data\\Update.bat", "Update.exe", "Update.bat.txt", "zefotmp", "a.zefotmp.txt",
                             "zefo-updater", "data/zefo-updater.new"}) {
        EXPECT_EQ(CompareListedFile(game.path(), path, Md5Of("")), LocalState::Missing) << path;
    }
}

TEST(ProgressPercentTest, WholeHalvesToEvenAndBounded) {
    EXPECT_EQ(ProgressPercent(1, 3), 33);
    EXPECT_EQ(ProgressPercent(2, 3), 67);
    EXPECT_EQ(ProgressPercent(3, 3), 100);
    EXPECT_EQ(ProgressPercent(1, 8), 12);  // 12.5
    EXPECT_EQ(ProgressPercent(3, 8), 38);  // 37.5
    EXPECT_EQ(ProgressPercent(0, 5), 0);
    EXPECT_EQ(ProgressPercent(7, 5), 100);  // files counted after the comparison
    EXPECT_EQ(ProgressPercent(1, 0), 100);
    EXPECT_EQ(ProgressPercent(0, 0), 100);
}

}  // namespace
}  // namespace zefo::test
