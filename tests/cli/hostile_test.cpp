// The command-line client against servers that lie, stall or flood, and on machines
// that fail under it (a full disk, a read-only folder, a kill in the middle of an
// update). Each case checks the exit code and message, what is left on the disk, and
// the program's peak memory, printed for the record.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_fixture.h"
#include "common/wait.h"

namespace zefo::test {
namespace {

namespace fs = std::filesystem;

// Far above what a case needs and far below what an unbounded reply would take. The
// largest list the program takes (a million records, each held with its path and
// fingerprint, about 190 bytes) needs more of its own.
constexpr long kPeakBoundKb = 256 * 1024;
constexpr long kLargestListBoundKb = 384 * 1024;
// A sanitizer's shadow memory and quarantine say nothing of the program's own needs.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kMemoryMeasured = false;
#else
constexpr bool kMemoryMeasured = true;
#endif

const std::string kTimedOut = "The request to the server timed out.";
const std::string kListRefused = "The list sent by the server could not be read.";

std::string UpdateFailed(int files) {
    return "The game could not be updated. " + std::to_string(files) + " file(s) could not be loaded.";
}

std::string NotLoaded(const std::string& path) {
    return "Could not load \"" + path + "\".";
}

std::string Record(const std::string& path, const std::string& bytes) {
    return path + ":" + Md5Of(bytes) + "|";
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class HostileTest : public CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        WriteFileBytes(work / "data/game.dat", kGameDat);
    }

    // The peak of one case, printed and held to its bound.
    static void Peak(const std::string& name, const Outcome& outcome, long boundKb = kPeakBoundKb) {
        std::printf("[ peak RSS ] %-40s %7.1f MB\n", name.c_str(), static_cast<double>(outcome.peakKb) / 1024.0);
        if (kMemoryMeasured) {
            EXPECT_LT(outcome.peakKb, boundKb) << name;
        }
    }

    // Temporary files of downloads anywhere below the game folder.
    size_t Temporaries() const {
        size_t count = 0;
        for (const std::string& name : Contents(work.path()))
            count += name.size() > 8 && name.compare(name.size() - 8, 8, ".zefotmp") == 0;
        return count;
    }

    const std::string kGameDat = "Hostile\r\nhostile\r\n";
};

TEST_F(HostileTest, ListRepliesThatNeverEndOrHoldTooManyRecordsEndInTheirMessages) {
    // Header lines that never end, and a body that never reaches "[/data]": each grows
    // past the reply's bound well within its ten seconds.
    std::string header = "HTTP/1.0 200 OK\r\n";
    const std::string line = "X-Padding: " + std::string(1000, 'h') + "\r\n";
    while (header.size() < (70u << 20))
        header += line;
    server.Enqueue(Script().AwaitRequest().Send(std::move(header)).Close());
    Outcome games = Zefo({"games"}, 30000);
    EXPECT_EQ(games.code, 3) << games.err;
    EXPECT_TRUE(Contains(games.err, kTimedOut)) << games.err;
    Peak("list: endless headers", games);

    std::string body = "HTTP/1.0 200 OK\r\n\r\n[data]";
    const std::string record = Record("a.txt", "a");
    while (body.size() < (70u << 20))
        body += record;
    server.Enqueue(Script().AwaitRequest().Send(std::move(body)).Close());
    Outcome endless = Zefo({"update", work.path()}, 30000);
    EXPECT_EQ(endless.code, 3) << endless.out << endless.err;
    EXPECT_TRUE(Contains(endless.err, kTimedOut)) << endless.err;
    Peak("list: endless body without [/data]", endless);

    // A million records are the most a list may hold: they are read and compared
    // (here all missing, and only listed by --dry-run); one more refuses the list.
    for (size_t count : {size_t{1'000'000}, size_t{1'000'001}}) {
        SCOPED_TRACE(count);
        std::string block;
        block.reserve(count * 44);
        char path[32];
        for (size_t i = 0; i < count; ++i) {
            std::snprintf(path, sizeof path, "d/f%07zu:", i);
            block.append(path).append("0123456789abcdef0123456789abcdef|");
        }
        server.EnqueueReply(ListReply(block));
        block = {};
        Outcome many = Zefo({"update", work.path(), "--dry-run"}, 60000);
        if (count == 1'000'000) {
            EXPECT_EQ(many.code, 0) << many.err;
            EXPECT_TRUE(Contains(many.out, "1000000 file(s) found.\n1000000 updated file(s) available.\n"));
            EXPECT_TRUE(Contains(many.out, "d/f0999999\twhole file\n"));
            Peak("list: 1,000,000 records", many, kLargestListBoundKb);
        } else {
            EXPECT_EQ(many.code, 1) << many.err;
            EXPECT_TRUE(Contains(many.out, kListRefused)) << many.out.substr(0, 2000);
            Peak("list: 1,000,001 records", many);
        }
    }
    EXPECT_EQ(Contents(work.path()), (std::vector<std::string>{"data", "data/game.dat"}));
}

TEST_F(HostileTest, FileRepliesThatLieOrFloodFailAndLeaveTheOldFile) {
    const std::string fresh = Pattern(300'000, 7);
    WriteFileBytes(work / "big.bin", "old contents");
    const std::string list = ListReply(Record("data/game.dat", kGameDat) + Record("big.bin", fresh));
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    std::string endlessHead = ok;
    while (endlessHead.size() < (1u << 20))
        endlessHead += "X-Padding: " + std::string(100, 'h') + "\r\n";
    struct Case {
        const char* name;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {"file: endless headers", endlessHead},
        {"file: chunk of 2^63 bytes", ok + "Transfer-Encoding: chunked\r\n\r\n8000000000000000\r\n" + fresh},
        {"file: Content-Length -1", ok + "Content-Length: -1\r\n\r\n" + fresh},
        {"file: Content-Length 2^62", ok + "Content-Length: 4611686018427387904\r\n\r\n" + fresh},
        {"file: Content-Length 2^49 > free space", ok + "Content-Length: 562949953421312\r\n\r\n" + fresh},
        {"file: longer than listed", ok + "Content-Length: 600000\r\n\r\n" + fresh + fresh},
    };
    for (const Case& hostile : cases) {
        SCOPED_TRACE(hostile.name);
        server.EnqueueReply(list);
        server.EnqueueReply(hostile.reply);
        Outcome update = Zefo({"update", work.path(), "--connections", "1"}, 30000);
        EXPECT_EQ(update.code, 1) << update.out << update.err;
        EXPECT_TRUE(Contains(update.out, NotLoaded("big.bin")));
        EXPECT_TRUE(Contains(update.out, UpdateFailed(1))) << update.out;
        EXPECT_EQ(ReadFileBytes(work / "big.bin"), "old contents");
        EXPECT_EQ(Contents(work.path()), (std::vector<std::string>{"big.bin", "data", "data/game.dat"}));
        Peak(hostile.name, update);
    }

    // A break in the middle keeps what arrived; the next run asks for the rest only.
    server.EnqueueReply(list);
    server.EnqueueReply(ok + "Content-Length: 300000\r\n\r\n" + fresh.substr(0, 100'000));
    Outcome broken = Zefo({"update", work.path()}, 30000);
    EXPECT_EQ(broken.code, 1) << broken.out;
    EXPECT_EQ(ReadFileBytes(work / "big.bin"), "old contents");
    EXPECT_EQ(ReadFileBytes(work / "big.bin.zefotmp").size(), 100'000u);
    server.EnqueueReply(list);
    server.EnqueueReply(HttpResponse("HTTP/1.1 206 Partial Content",
                                     {"Content-Range: bytes 100000-299999/300000", "Content-Length: 200000"},
                                     fresh.substr(100'000)));
    const size_t resumedAt = server.Connections() + 1;
    Outcome resumed = Zefo({"update", work.path()}, 30000);
    EXPECT_EQ(resumed.code, 0) << resumed.out;
    EXPECT_TRUE(Contains(server.Request(resumedAt), "Range: bytes=100000-\r\n")) << server.Request(resumedAt);
    EXPECT_EQ(ReadFileBytes(work / "big.bin"), fresh);
    EXPECT_EQ(Contents(work.path()), (std::vector<std::string>{"big.bin", "data", "data/game.dat"}));
    Peak("file: broken, then resumed", resumed);
}

TEST_F(HostileTest, AServerSendingOneBytePerSecondIsLeftWithinTheReadLimit) {
    // Two files at once, on two connections: the head of one reply and the body of the
    // other come a byte a second, for longer than the program waits for a stalled reply.
    WriteFileBytes(work / "one.bin", "old one");
    WriteFileBytes(work / "two.bin", "old two");
    const std::string fresh = Pattern(1000, 9);
    server.EnqueueReply(ListReply(Record("one.bin", fresh) + Record("two.bin", fresh)));
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
    for (const std::string& start : {std::string(), head}) {
        const std::string trickle = start.empty() ? head + fresh : fresh;
        server.Enqueue(Script().AwaitRequest().Send(start).SendInPieces(trickle.substr(0, 40), 1, 1000).Close());
    }
    const auto began = std::chrono::steady_clock::now();
    Outcome update = Zefo({"update", work.path(), "--connections", "2"}, 25000);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("[ time     ] one byte per second: ended after %.1f s\n", seconds);
    EXPECT_EQ(update.code, 1) << update.out << update.err;
    EXPECT_TRUE(Contains(update.out, UpdateFailed(2))) << update.out;
    EXPECT_EQ(ReadFileBytes(work / "one.bin"), "old one");
    EXPECT_EQ(ReadFileBytes(work / "two.bin"), "old two");
    // What the dripping body brought is kept for a resume, and was not taken for the
    // file. Which file got the dripping body depends on which connection came first.
    EXPECT_EQ(Temporaries(), 1u);
    const std::string kept =
        ReadFileBytes(work / (FileExists(work / "one.bin.zefotmp") ? "one.bin.zefotmp" : "two.bin.zefotmp"));
    EXPECT_LT(kept.size(), 20u);
    EXPECT_EQ(kept, fresh.substr(0, kept.size()));
    Peak("file: one byte per second", update);
}

TEST_F(HostileTest, RefusedPathsLinksAndFilesListedTwiceLeaveNothingOutsideAndAreCounted) {
    const std::string game = work / "game/";
    fs::create_directories(fs::u8path(game + "data"));
    fs::create_directories(fs::u8path(work / "outside"));
    WriteFileBytes(game + "data/game.dat", kGameDat);
    WriteFileBytes(work / "outside/victim.txt", "victim");
    fs::create_directory_symlink(fs::u8path(work / "outside"), fs::u8path(game + "linkdir"));
    fs::create_symlink(fs::u8path(work / "outside/victim.txt"), fs::u8path(game + "linkfile"));

    const std::string a = "first listing", b = "second listing";
    std::string list = Record("data/game.dat", kGameDat);
    const std::vector<std::string> refused = {"../escape.txt",
                                              "data/../../escape.txt",
                                              work / "outside/abs.txt",
                                              "\\outside.txt",
                                              "NUL.txt",
                                              "data/COM1.pak",
                                              "Update.bat",
                                              "update.BAT",
                                              "x.zefotmp",
                                              "linkdir/escape.txt",
                                              "a//b.txt",
                                              "dots./x.txt"};
    for (const std::string& path : refused)
        list += Record(path, "x");
    // A drive letter cannot reach the path: the ":" ends it, leaving the plain name "C".
    list += "C:\\Windows\\x.txt:" + Md5Of("x") + "|";
    list += Record("linkfile", "replaced") + Record("twice.txt", a) + Record("twice.txt", b);
    server.EnqueueReply(ListReply(list));
    server.EnqueueReply(FileReply("not the C drive"));
    server.EnqueueReply(FileReply("replaced"));
    server.EnqueueReply(FileReply(a));
    Outcome update = Zefo({"update", game, "--connections", "1"}, 30000);
    EXPECT_EQ(update.code, 1) << update.out << update.err;
    for (const std::string& path : refused)
        EXPECT_TRUE(Contains(update.out, NotLoaded(path))) << path;
    // The later listing of twice.txt cannot hold as well: it fails, and the file
    // stays as the first one lists it.
    EXPECT_TRUE(Contains(update.out, UpdateFailed(static_cast<int>(refused.size()) + 1))) << update.out;
    EXPECT_EQ(ReadFileBytes(game + "twice.txt"), a);
    EXPECT_EQ(server.Connections(), 4u);
    EXPECT_EQ(ReadFileBytes(game + "linkfile"), "replaced");
    EXPECT_FALSE(fs::is_symlink(fs::u8path(game + "linkfile")));
    EXPECT_EQ(ReadFileBytes(work / "outside/victim.txt"), "victim");
    EXPECT_EQ(Contents(work / "outside"), (std::vector<std::string>{"victim.txt"}));
    EXPECT_FALSE(FileExists(work / "escape.txt"));
    EXPECT_EQ(Contents(game),
              (std::vector<std::string>{"C", "data", "data/game.dat", "linkdir", "linkfile", "twice.txt"}));
    Peak("paths: refused forms and links", update);

    // Listed twice alike, the file is loaded once, even with downloads side by side;
    // the contradicting listing still fails on every run.
    server.EnqueueReply(ListReply(Record("same.txt", "same") + Record("same.txt", "same") + Record("twice.txt", a) +
                                  Record("twice.txt", b)));
    server.EnqueueReply(FileReply("same"));
    const size_t before = server.Connections();
    Outcome again = Zefo({"update", game, "--connections", "4"}, 30000);
    EXPECT_EQ(again.code, 1) << again.out;
    EXPECT_TRUE(Contains(again.out, UpdateFailed(1))) << again.out;
    EXPECT_EQ(server.Connections(), before + 2);
    EXPECT_EQ(ReadFileBytes(game + "same.txt"), "same");
    EXPECT_EQ(ReadFileBytes(game + "twice.txt"), a);
}

TEST_F(HostileTest, AnUpdateKilledTwiceIsFinishedByTheNextRunFromWhatItKept) {
    WriteFileBytes(work / "big.bin", "old contents");
    WriteFileBytes(work / "other.txt", "old other");
    const std::string fresh = Pattern(2'000'000, 11);
    const std::string list =
        ListReply(Record("data/game.dat", kGameDat) + Record("big.bin", fresh) + Record("other.txt", "new other"));
    auto rest = [&fresh](size_t from, size_t length) {
        return HttpResponse("HTTP/1.1 206 Partial Content",
                            {"Content-Range: bytes " + std::to_string(from) + "-1999999/2000000",
                             "Content-Length: " + std::to_string(fresh.size() - from)},
                            fresh.substr(from, length));
    };
    size_t from = 0;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        server.EnqueueReply(list);
        const std::string reply = from == 0 ? FileReply(fresh).substr(0, 600'000) : rest(from, 600'000);
        server.Enqueue(Script().AwaitRequest().Send(reply).Mark(round).AwaitGate(round).Close());
        const size_t request = server.Connections() + 1;
        ChildProcess child(Program(), {"update", work.path(), "--connections", "1", "--server", server.Host()});
        ASSERT_TRUE(child.started());
        ASSERT_TRUE(server.WaitForMark(round, 30000));
        // Killed once some of what was sent has reached the disk.
        EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(work / "big.bin.zefotmp").size() > from; }, 10000));
        EXPECT_TRUE(child.Kill());
        EXPECT_EQ(child.Wait(10000), 128 + 9);
        server.OpenGate(round);
        if (from > 0) {
            EXPECT_TRUE(Contains(server.Request(request), "Range: bytes=" + std::to_string(from) + "-\r\n"));
        }
        EXPECT_EQ(ReadFileBytes(work / "big.bin"), "old contents");
        EXPECT_EQ(ReadFileBytes(work / "other.txt"), "old other");
        EXPECT_EQ(Temporaries(), 1u);
        const std::string kept = ReadFileBytes(work / "big.bin.zefotmp");
        EXPECT_GT(kept.size(), from);
        EXPECT_EQ(kept, fresh.substr(0, kept.size()));
        from = kept.size();
    }
    server.EnqueueReply(list);
    // Once the file is in, its chunk index is asked for (this server has none), then the other file.
    server.Enqueue(Script()
                       .AwaitRequest()
                       .Send(rest(from, fresh.size()))
                       .AwaitRequest()
                       .Send(HttpResponse("HTTP/1.1 404 Not Found", {"Content-Length: 0"}, ""))
                       .AwaitRequest()
                       .Send(FileReply("new other"))
                       .Close());
    const size_t request = server.Connections() + 1;
    Outcome done = Zefo({"update", work.path(), "--connections", "1"});
    EXPECT_EQ(done.code, 0) << done.out << done.err;
    EXPECT_TRUE(Contains(server.Request(request), "Range: bytes=" + std::to_string(from) + "-\r\n"));
    EXPECT_EQ(ReadFileBytes(work / "big.bin"), fresh);
    EXPECT_EQ(ReadFileBytes(work / "other.txt"), "new other");
    EXPECT_EQ(Temporaries(), 0u);
    EXPECT_EQ(Contents(work.path()), (std::vector<std::string>{"big.bin", "data", "data/game.dat", "other.txt"}));
    Peak("killed twice, then finished", done);
}

// Runs `script` with /bin/sh as root of a user and mount namespace of its own, where
// mounts are the script's alone.
ChildProcess InNamespace(const std::string& script) {
    return ChildProcess("/usr/bin/unshare", {"-rm", "/bin/sh", "-c", script});
}

TEST_F(HostileTest, AFullDiskAndAReadOnlyFolderFailOnlyTheirFilesAndLeaveNoTemporaries) {
    // Root passes permission bits: a folder that cannot be written is a read-only
    // mount, and a full disk a tmpfs of 1 MB, both in a mount namespace of the test's.
    const std::string game = work / "game";
    fs::create_directory(fs::u8path(game));
    {
        ChildProcess probe = InNamespace("mount -t tmpfs -o size=1m tmpfs '" + game + "'");
        if (!probe.started() || probe.Wait(10000) != 0)
            GTEST_SKIP() << "no mount namespace with a tmpfs here: " << probe.Errors();
    }
    const std::string fresh = Pattern(2'000'000, 5);
    server.EnqueueReply(ListReply(Record("data/game.dat", kGameDat) + Record("big.bin", fresh) +
                                  Record("locked/keep.txt", "new locked") + Record("small.txt", "small")));
    // big.bin fills the disk; its temporary file must go, or small.txt finds no room.
    server.EnqueueReply(FileReply(fresh));
    server.EnqueueReply(FileReply("small"));
    const std::string script =
        "set -e\n"
        "cd '" +
        game +
        "'\n"
        "mount -t tmpfs -o size=1m tmpfs .\n"
        "cd '" +
        game +
        "'\n"
        "mkdir data locked\n"
        "printf 'Hostile\\r\\nhostile\\r\\n' > data/game.dat\n"
        "printf 'old contents' > big.bin\n"
        "printf 'old locked' > locked/keep.txt\n"
        "mount --bind locked locked\n"
        "mount -o remount,bind,ro locked\n"
        "set +e\n"
        "'" +
        Program() + "' update . --connections 1 --server " + server.Host() +
        "\n"
        "echo \"exit $?\"\n"
        "find . | sort\n"
        "md5sum big.bin locked/keep.txt small.txt\n";
    ChildProcess child = InNamespace(script);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.Wait(30000), 0) << child.Errors();
    const std::string out = child.Output();
    EXPECT_TRUE(Contains(out, NotLoaded("big.bin"))) << out;
    EXPECT_TRUE(Contains(out, NotLoaded("locked/keep.txt"))) << out;
    EXPECT_TRUE(Contains(out, UpdateFailed(2) +
                                  "\nexit 1\n"
                                  ".\n./big.bin\n./data\n./data/game.dat\n./locked\n./locked/keep.txt\n"
                                  "./small.txt\n" +
                                  Md5Of("old contents") + "  big.bin\n" + Md5Of("old locked") + "  locked/keep.txt\n" +
                                  Md5Of("small") + "  small.txt\n"))
        << out;
}

}  // namespace
}  // namespace zefo::test
