#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/workers.h"
#include "base/file_system.h"
#include "common/environment.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "sync/listed_file.h"
#include "sync/self_update.h"
#include "worker_fixture.h"

namespace zefo {
namespace {

using test::FileReply;
using test::Md5Of;
using test::Script;

const char kUpdated[] = "The game has been updated successfully .";
#ifdef _WIN32
const char kScript[] = "del Update.exe\r\nren Update_copy.exe Update.exe\r\ndel Update.bat\r\n";
#endif

std::string Failed(int count) {
    return "The game could not be updated. " + std::to_string(count) + " file(s) could not be loaded.";
}

class UpdateWorkerTest : public test::WorkerFixture {
  protected:
    UpdateWorkerTest() : WorkerFixture(test::Layout::Updater) {}

    void SetUp() override {
        WorkerFixture::SetUp();
        SetTexts([](AppState& state) { state.gameFolder = "game folder"; });
    }

    struct Listed {
        std::string path;
        std::string fingerprint;
        bool chosen = true;
    };

    // The loaded list followed by the comparison of the updater window.
    void Load(const std::vector<Listed>& listed) {
        FileList& files = State().fileList;
        files.clear();
        for (const Listed& item : listed) {
            files.emplace_back(item.path, item.fingerprint);
            files.back().chosen.store(item.chosen ? 1 : 0);
        }
        int count = 0;
        for (FileEntry& entry : files) {
            if (CompareListedFile(game, entry.path, entry.fingerprint) == LocalState::Same)
                entry.upToDate.store(1);
            else
                ++count;
        }
        if (count > 0)
            ui.DisableGadget(actionButton, 0);
    }

    FileEntry& Entry(size_t index) { return State().fileList.at(index); }

    bool Run() {
        test::WorkerRun run(UpdateWorker);
        return run.Finish();
    }

    std::string Local(const std::string& name) const { return game + name; }

    test::TempDir outer;
    std::string game = [this] {
        std::string path = outer.path() + "game" + outer.path().back();
        MakeDirectory(path);
        return path;
    }();
    test::ScopedCurrentDirectory inGame{game};
};

TEST_F(UpdateWorkerTest, DownloadsChosenFilesThatAreMissingOrDiffer) {
    const std::string fresh = "fresh", changed = "changed v2", deep = "deep file";
    test::WriteFileBytes(Local("changed.pak"), "changed v1");
    test::WriteFileBytes(Local("same.pak"), "same");
    Load({{"missing.pak", Md5Of(fresh)},
          {"changed.pak", Md5Of(changed)},
          {"same.pak", Md5Of("same")},
          {"skip\\d.dat", Md5Of("unchosen"), false},
          {"sub\\dir\\e.dat", Md5Of(deep)}});
    ui.SetState(progressBar, 55);
    server.Enqueue(Script().AwaitRequest().Mark(1).AwaitGate(1).Send(FileReply(fresh)).Close());
    server.Enqueue(Script().AwaitRequest().Mark(2).AwaitGate(2).Send(FileReply(changed)).Close());
    server.Enqueue(Script().AwaitRequest().Mark(3).AwaitGate(3).Send(FileReply(deep)).Close());

    test::WorkerRun run(UpdateWorker);
    ASSERT_TRUE(server.WaitForMark(1, 20000));
    EXPECT_EQ(Progress(), 55);  // not reset at the start
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(State().updateRunning.load(), 1);
    server.OpenGate(1);
    ASSERT_TRUE(server.WaitForMark(2, 20000));
    EXPECT_EQ(Progress(), 33);
    server.OpenGate(2);
    ASSERT_TRUE(server.WaitForMark(3, 20000));
    EXPECT_EQ(Progress(), 67);
    server.OpenGate(3);
    ASSERT_TRUE(run.Finish());

    EXPECT_EQ(Lines(), (std::vector<std::string>{Loading("missing.pak"), Loading("changed.pak"),
                                                 Loading("sub\\dir\\e.dat"), kUpdated}));
    EXPECT_EQ(Progress(), 100);
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(State().updateRunning.load(), 0);
    EXPECT_EQ(server.Connections(), 3u);
    EXPECT_EQ(RequestLine(0), "GET /game%20folder/missing.pak HTTP/1.1");
    EXPECT_EQ(RequestLine(2), "GET /game%20folder/sub\\dir\\e.dat HTTP/1.1");
    EXPECT_EQ(test::ReadFileBytes(Local("missing.pak")), fresh);
    EXPECT_EQ(test::ReadFileBytes(Local("changed.pak")), changed);
    EXPECT_EQ(test::ReadFileBytes(Local("sub/dir/e.dat")), deep);
    // Folders are made for every listed file, downloaded or not.
    EXPECT_EQ(QueryFileSize(Local("skip")), -2);
    EXPECT_FALSE(test::FileExists(Local("skip/d.dat")));
    for (size_t i : {0u, 1u, 2u, 4u})
        EXPECT_EQ(Entry(i).upToDate.load(), 1) << i;
    EXPECT_EQ(Entry(3).upToDate.load(), 0);
    EXPECT_EQ(Entry(4).localName, "sub\\dir\\e.dat");
}

TEST_F(UpdateWorkerTest, PartlyFailedRunIsRetriedWithOnlyTheFailedFiles) {
    test::WriteFileBytes(Local("d.pak"), "old d");
    Load({{"a.pak", Md5Of("a")},
          {"b.pak", Md5Of("b")},
          {"c.pak", Md5Of("c")},
          {"d.pak", Md5Of("d")},
          {"e.pak", Md5Of("e")}});
    server.EnqueueReply(FileReply("a"));
    server.EnqueueReply(test::NotFoundReply());
    server.EnqueueReply(FileReply("c"));
    server.EnqueueReply(FileReply("not d"));
    server.EnqueueReply(FileReply("e"));
    ASSERT_TRUE(Run());

    EXPECT_EQ(Lines(),
              (std::vector<std::string>{Loading("a.pak"), Loading("b.pak"), CouldNotLoad("b.pak"), Loading("c.pak"),
                                        Loading("d.pak"), CouldNotLoad("d.pak"), Loading("e.pak"), Failed(2)}));
    EXPECT_EQ(Progress(), 100);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(test::ReadFileBytes(Local("d.pak")), "old d");
    EXPECT_FALSE(test::FileExists(Local("b.pak")));
    const int expectedFailed[] = {0, 1, 0, 1, 0};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(Entry(i).failed.load(), expectedFailed[i]) << i;
        EXPECT_EQ(Entry(i).upToDate.load(), 1 - expectedFailed[i]) << i;
    }

    // The second run takes only the two that failed.
    server.EnqueueReply(FileReply("b"));
    server.Enqueue(Script().AwaitRequest().Mark(1).AwaitGate(1).Send(FileReply("d")).Close());
    test::WorkerRun again(UpdateWorker);
    ASSERT_TRUE(server.WaitForMark(1, 20000));
    EXPECT_EQ(Progress(), 50);
    server.OpenGate(1);
    ASSERT_TRUE(again.Finish());
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.end()),
              (std::vector<std::string>{Loading("b.pak"), Loading("d.pak"), kUpdated}));
    EXPECT_EQ(server.Connections(), 7u);
    EXPECT_EQ(Progress(), 100);
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(test::ReadFileBytes(Local("d.pak")), "d");
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(Entry(i).failed.load(), 0) << i;
        EXPECT_EQ(Entry(i).upToDate.load(), 1) << i;
    }
}

#ifdef _WIN32
TEST_F(UpdateWorkerTest, NewUpdaterGoesBesideTheOldOneWithTheSwapScript) {
    const std::string updater = "new updater bytes";
    test::WriteFileBytes(Local("Update.exe"), "old updater");
    Load({{"Update.exe", Md5Of(updater)}, {"data\\Update.exe", Md5Of("plain")}, {"Tools\\UPDATE.EXE", Md5Of("x")}});
    server.Enqueue(Script().AwaitRequest().Mark(1).AwaitGate(1).Send(FileReply(updater)).Close());
    server.EnqueueReply(FileReply("plain"));
    server.EnqueueReply(FileReply("x"));

    test::WorkerRun run(UpdateWorker);
    ASSERT_TRUE(server.WaitForMark(1, 20000));
    EXPECT_FALSE(test::FileExists(Local("Update.bat")));  // not before the copy is complete
    server.OpenGate(1);
    ASSERT_TRUE(run.Finish());

    EXPECT_EQ(Lines(), (std::vector<std::string>{Loading("Update.exe"), Loading("data\\Update.exe"),
                                                 Loading("Tools\\UPDATE.EXE"), kUpdated}));
    EXPECT_EQ(RequestLine(0), "GET /game%20folder/Update.exe HTTP/1.1");
    EXPECT_EQ(test::ReadFileBytes(Local("Update.exe")), "old updater");
    EXPECT_EQ(test::ReadFileBytes(Local("Update_copy.exe")), updater);
    const std::string script = test::ReadFileBytes(Local("Update.bat"));
    EXPECT_EQ(script, kScript);
    EXPECT_EQ(script.size(), 64u);
    EXPECT_EQ(Entry(0).localName, "Update_copy.exe");
    EXPECT_EQ(Entry(1).localName, "data\\Update.exe");
    EXPECT_EQ(test::ReadFileBytes(Local("data/Update.exe")), "plain");
    EXPECT_EQ(test::ReadFileBytes(Local("Tools/UPDATE.EXE")), "x");
    EXPECT_FALSE(test::FileExists(Local("data/Update_copy.exe")));
    EXPECT_FALSE(test::FileExists(Local("data/Update.bat")));
    EXPECT_FALSE(test::FileExists(Local("Update.bat.new")));
}

TEST_F(UpdateWorkerTest, FailedUpdaterDownloadLeavesNeitherScriptNorCopy) {
    const std::string updater = "new updater bytes";
    test::WriteFileBytes(Local("Update.exe"), "old updater");
    const std::vector<std::string> badReplies = {FileReply("tampered updater!"), test::TruncatedReply("new upd"),
                                                 test::NotFoundReply()};
    int failures = 0;
    for (const std::string& reply : badReplies) {
        // What an earlier run left: a script and a copy.
        test::WriteFileBytes(Local("Update.bat"), kScript);
        test::WriteFileBytes(Local("Update_copy.exe"), "earlier copy");
        Load({{"Update.exe", Md5Of(updater)}});
        server.EnqueueReply(reply);
        ASSERT_TRUE(Run());
        ++failures;
        EXPECT_EQ(Lines().back(), Failed(1)) << failures;
        EXPECT_FALSE(test::FileExists(Local("Update.bat"))) << failures;
        EXPECT_FALSE(test::FileExists(Local("Update_copy.exe"))) << failures;
        EXPECT_EQ(test::ReadFileBytes(Local("Update.exe")), "old updater");
        EXPECT_EQ(Entry(0).failed.load(), 1);
        EXPECT_TRUE(ButtonEnabled());
    }
    EXPECT_EQ(Lines().size(), 9u);

    server.EnqueueReply(FileReply(updater));
    ASSERT_TRUE(Run());
    EXPECT_EQ(Lines().back(), kUpdated);
    EXPECT_EQ(test::ReadFileBytes(Local("Update.bat")), kScript);
    EXPECT_EQ(test::ReadFileBytes(Local("Update_copy.exe")), updater);
}
#else
// Elsewhere the new program goes beside the running one, executable, and takes its
// place at the end in one rename, and only while it is the copy this run verified.
TEST_F(UpdateWorkerTest, NewProgramGoesBesideTheRunningOneAndIsRenamedOverItAtTheEnd) {
    const std::string program = "new program bytes";
    test::WriteFileBytes(Local("zefo-updater"), "old program");
    Load({{"zefo-updater", Md5Of(program)}, {"data/zefo-updater", Md5Of("plain")}});
    server.EnqueueReply(FileReply(program));
    server.EnqueueReply(FileReply("plain"));
    ASSERT_TRUE(Run());
    EXPECT_EQ(Lines(), (std::vector<std::string>{Loading("zefo-updater"), Loading("data/zefo-updater"), kUpdated}));
    EXPECT_EQ(Entry(0).localName, "zefo-updater.new");
    EXPECT_EQ(test::ReadFileBytes(Local("zefo-updater")), "old program");
    EXPECT_EQ(std::filesystem::status(Local("zefo-updater.new")).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0755));
    EXPECT_EQ(test::ReadFileBytes(Local("data/zefo-updater")), "plain");
    EXPECT_EQ(State().swapScriptFolder, game);

    EXPECT_FALSE(CarryOutSwap(outer.path()));  // only in the folder where it was readied
    // Changed after it was verified: the program stays as it is until the copy is back.
    test::WriteFileBytes(Local("zefo-updater.new"), "changed copy");
    EXPECT_FALSE(CarryOutSwap(game));
    test::WriteFileBytes(Local("zefo-updater.new"), program);
    ASSERT_TRUE(CarryOutSwap(game));
    EXPECT_EQ(test::ReadFileBytes(Local("zefo-updater")), program);
    EXPECT_FALSE(test::FileExists(Local("zefo-updater.new")));
    EXPECT_FALSE(CarryOutSwap(game));
}

TEST_F(UpdateWorkerTest, AFailedDownloadWithdrawsTheCopyAnEarlierRunReadied) {
    test::WriteFileBytes(Local("zefo-updater"), "old program");
    Load({{"zefo-updater", Md5Of("new program")}});
    server.EnqueueReply(FileReply("new program"));
    ASSERT_TRUE(Run());
    Load({{"zefo-updater", Md5Of("newer program")}});
    server.EnqueueReply(FileReply("tampered program!"));
    ASSERT_TRUE(Run());
    EXPECT_EQ(Lines().back(), Failed(1));
    EXPECT_FALSE(test::FileExists(Local("zefo-updater.new")));
    EXPECT_TRUE(State().swapScriptFolder.empty());
    EXPECT_FALSE(CarryOutSwap(game));
    EXPECT_EQ(test::ReadFileBytes(Local("zefo-updater")), "old program");
}
#endif  // _WIN32

TEST_F(UpdateWorkerTest, HostilePathsAreNeitherReadNorWritten) {
    test::WriteFileBytes(outer.path() + "victim.txt", "victim");
    const std::vector<std::string> hostile = {"..\\victim.txt",
                                              "../victim.txt",
                                              "a\\..\\..\\victim.txt",
                                              "C:\\victim.txt",
                                              "C:victim.txt",
                                              "\\\\127.0.0.1\\c$\\v.txt",
                                              "/tmp/victim.txt",
                                              "\\victim.txt",
                                              "CON",
                                              "lpt1.txt",
                                              "data\\aux.pak",
                                              "x|y",
                                              "..",
                                              "",
                                              "file.txt:stream",
                                              "Update.bat",
                                              "update_COPY.exe",
                                              "x.zefotmp"};
    std::vector<Listed> listed;
    for (const std::string& path : hostile)
        listed.push_back({path, Md5Of("victim")});  // would pass for up to date if it were read
    listed.push_back({"..\\quiet.txt", Md5Of("q"), false});
    listed.push_back({"ok.txt", Md5Of("ok")});
    Load(listed);
    server.EnqueueReply(FileReply("ok"));
    ASSERT_TRUE(Run());

    std::vector<std::string> expected;
    for (const std::string& path : hostile)
        expected.push_back(CouldNotLoad(path));
    expected.push_back(Loading("ok.txt"));
    expected.push_back(Failed(static_cast<int>(hostile.size())));
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(Progress(), 100);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_EQ(test::ReadFileBytes(outer.path() + "victim.txt"), "victim");
    EXPECT_FALSE(test::FileExists(outer.path() + "quiet.txt"));
    EXPECT_FALSE(test::FileExists(Local("data")));
    for (size_t i = 0; i < hostile.size(); ++i) {
        EXPECT_EQ(Entry(i).failed.load(), 1) << i;
        EXPECT_EQ(Entry(i).upToDate.load(), 0) << i;
    }
    EXPECT_EQ(test::ReadFileBytes(Local("ok.txt")), "ok");
}

TEST_F(UpdateWorkerTest, LinksInTheGameFolderAreNeitherFollowedNorWrittenThrough) {
    // What a user without the program's rights could plant in the game folder.
    test::TempDir elsewhere;
    test::WriteFileBytes(elsewhere / "secret.txt", "secret");
    test::WriteFileBytes(elsewhere / "victim.txt", "victim");
    if (!test::MakeSymbolicLink(elsewhere.path(), Local("data")))
        GTEST_SKIP() << "no symbolic links here";
    const bool fileLink = test::MakeSymbolicLink(elsewhere / "victim.txt", Local("linked.txt"));
    Load({{"data/evil.txt", Md5Of("evil")},
          {"data/secret.txt", Md5Of("secret")},  // would count as up to date if read through the link
          {"data/new/deep.txt", Md5Of("deep")},
          {"linked.txt", Md5Of("replaced")},
          {"ok.txt", Md5Of("ok")}});
    EXPECT_EQ(Entry(1).upToDate.load(), 0);
    EXPECT_EQ(Entry(3).upToDate.load(), 0);
    server.EnqueueReply(FileReply("replaced"));
    server.EnqueueReply(FileReply("ok"));
    ASSERT_TRUE(Run());

    EXPECT_EQ(Lines(), (std::vector<std::string>{CouldNotLoad("data/evil.txt"), CouldNotLoad("data/secret.txt"),
                                                 CouldNotLoad("data/new/deep.txt"), Loading("linked.txt"),
                                                 Loading("ok.txt"), Failed(3)}));
    EXPECT_FALSE(test::FileExists(elsewhere / "evil.txt"));
    EXPECT_FALSE(test::FileExists(elsewhere / "new"));
    // A link in a file's place is replaced by the download, not written through.
    EXPECT_EQ(test::ReadFileBytes(Local("linked.txt")), "replaced");
    EXPECT_EQ(test::ReadFileBytes(elsewhere / "victim.txt"), "victim");
    if (fileLink) {
        RemoveFile(Local("linked.txt"));
        EXPECT_EQ(test::ReadFileBytes(elsewhere / "victim.txt"), "victim");
    }
    EXPECT_EQ(test::ReadFileBytes(Local("ok.txt")), "ok");
}

#ifdef _WIN32
TEST_F(UpdateWorkerTest, AnUnwritableSwapScriptFailsTheUpdaterAndNeverWritesThroughALink) {
    const std::string updater = "new updater bytes";
    test::WriteFileBytes(Local("Update.exe"), "old updater");
    test::WriteFileBytes(outer / "victim.txt", "victim");
    // A link left where the script's temporary file goes, and a folder where the script goes.
    bool linked = test::MakeSymbolicLink(outer / "victim.txt", Local("Update.bat.new"));
    MakeDirectory(Local("Update.bat"));
    Load({{"Update.exe", Md5Of(updater)}});
    server.EnqueueReply(FileReply(updater));
    ASSERT_TRUE(Run());
    EXPECT_EQ(Lines(), (std::vector<std::string>{Loading("Update.exe"), CouldNotLoad("Update.exe"), Failed(1)}));
    EXPECT_FALSE(test::FileExists(Local("Update_copy.exe")));
    EXPECT_EQ(test::ReadFileBytes(Local("Update.exe")), "old updater");
    EXPECT_EQ(Entry(0).upToDate.load(), 0);
    EXPECT_EQ(Entry(0).failed.load(), 1);
    EXPECT_TRUE(State().swapScriptFolder.empty());
    EXPECT_EQ(test::ReadFileBytes(outer / "victim.txt"), "victim");

    // Once the folder is gone the script is written, beside the link's old place.
    std::filesystem::remove(std::filesystem::u8path(Local("Update.bat")));
    server.EnqueueReply(FileReply(updater));
    ASSERT_TRUE(Run());
    EXPECT_EQ(Lines().back(), kUpdated);
    EXPECT_EQ(test::ReadFileBytes(Local("Update.bat")), kScript);
    EXPECT_EQ(test::ReadFileBytes(Local("Update_copy.exe")), updater);
    EXPECT_EQ(State().swapScriptFolder, game);
    EXPECT_EQ(test::ReadFileBytes(outer / "victim.txt"), "victim");
    if (linked) {
        EXPECT_FALSE(test::FileExists(Local("Update.bat.new")));
    }
}
#endif  // _WIN32

TEST_F(UpdateWorkerTest, FingerprintsMatchInAnyLetterCase) {
    test::WriteFileBytes(Local("upper.pak"), "upper");
    std::string upper = Md5Of("upper");
    for (char& c : upper)
        c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    Load({{"upper.pak", upper}});
    // Marked as outdated, as after a change in the files window: the worker looks again.
    Entry(0).upToDate.store(0);
    ASSERT_TRUE(Run());
    EXPECT_EQ(Lines(), (std::vector<std::string>{kUpdated}));
    EXPECT_EQ(server.Connections(), 0u);
    EXPECT_EQ(Entry(0).upToDate.load(), 1);
}

TEST_F(UpdateWorkerTest, FilesChangedAfterTheComparisonKeepTheBarWithinRange) {
    test::WriteFileBytes(Local("a.pak"), "a");
    test::WriteFileBytes(Local("b.pak"), "b");
    Load({{"a.pak", Md5Of("a")}, {"b.pak", Md5Of("b")}, {"c.pak", Md5Of("c")}});
    ASSERT_EQ(Entry(0).upToDate.load(), 1);
    // After the comparison: one vanishes, one changes.
    RemoveFile(Local("a.pak"));
    test::WriteFileBytes(Local("b.pak"), "b, edited");
    server.EnqueueReply(FileReply("a"));
    server.Enqueue(Script().AwaitRequest().Mark(2).AwaitGate(2).Send(FileReply("b")).Close());
    server.Enqueue(Script().AwaitRequest().Mark(3).AwaitGate(3).Send(FileReply("c")).Close());
    test::WorkerRun run(UpdateWorker);
    for (int mark : {2, 3}) {
        ASSERT_TRUE(server.WaitForMark(mark, 20000));
        EXPECT_EQ(Progress(), 100) << mark;  // one counted file, more done
        server.OpenGate(mark);
    }
    ASSERT_TRUE(run.Finish());
    EXPECT_EQ(Lines(), (std::vector<std::string>{Loading("a.pak"), Loading("b.pak"), Loading("c.pak"), kUpdated}));
    EXPECT_EQ(Progress(), 100);
    EXPECT_EQ(test::ReadFileBytes(Local("b.pak")), "b");

    // Nothing counted at all (total 0), and a file vanishes.
    ui.SetState(progressBar, 0);
    RemoveFile(Local("c.pak"));
    server.EnqueueReply(FileReply("c"));
    ASSERT_TRUE(Run());
    EXPECT_EQ(Lines().back(), kUpdated);
    EXPECT_EQ(Progress(), 100);
    EXPECT_EQ(test::ReadFileBytes(Local("c.pak")), "c");

    // Nothing to do: no download, the bar stays, the button stays disabled.
    ui.SetState(progressBar, 0);
    ASSERT_TRUE(Run());
    EXPECT_EQ(Lines().back(), kUpdated);
    EXPECT_EQ(Progress(), 0);
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(server.Connections(), 4u);
}

TEST_F(UpdateWorkerTest, OneWorkerAtATimeOnTheChoiceOfItsStart) {
    Load({{"slow.pak", Md5Of("slow")}, {"late.pak", Md5Of("late"), false}});
    server.Enqueue(Script().AwaitRequest().Mark(1).AwaitGate(1).Send(FileReply("slow")).Close());

    test::WorkerRun run(UpdateWorker);
    ASSERT_TRUE(server.WaitForMark(1, 20000));
    EXPECT_EQ(State().updateRunning.load(), 1);
    EXPECT_FALSE(ButtonEnabled());

    // A second click that got through does nothing at all.
    test::WorkerRun second(UpdateWorker);
    ASSERT_TRUE(second.Finish(5000));
    EXPECT_EQ(Lines(), (std::vector<std::string>{Loading("slow.pak")}));
    EXPECT_EQ(State().updateRunning.load(), 1);

    // The files window changes the choice meanwhile.
    Entry(0).chosen.store(0);
    Entry(1).chosen.store(1);
    server.OpenGate(1);
    ASSERT_TRUE(run.Finish());

    EXPECT_EQ(Lines(), (std::vector<std::string>{Loading("slow.pak"), kUpdated}));
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_EQ(test::ReadFileBytes(Local("slow.pak")), "slow");
    EXPECT_EQ(Entry(0).upToDate.load(), 1);
    // Not looked at in this run, so not marked; now chosen and outdated: retry allowed.
    EXPECT_EQ(Entry(1).upToDate.load(), 0);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(State().updateRunning.load(), 0);
}

}  // namespace
}  // namespace zefo
