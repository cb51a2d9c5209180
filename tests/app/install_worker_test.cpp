#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/workers.h"
#include "base/file_system.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "worker_fixture.h"

namespace zefo {
namespace {

using test::FileReply;
using test::Md5Of;
using test::Script;

const char kInstalled[] = "The game has been installed successfully.";
const char kListLoaded[] = "File list has been loaded.";

class InstallWorkerTest : public test::WorkerFixture {
  protected:
    InstallWorkerTest() : WorkerFixture(test::Layout::Installer) {}

    void SetUp() override {
        WorkerFixture::SetUp();
        target = outer.path() + "target" + outer.path().back();
        ASSERT_TRUE(MakeDirectory(target));
        Choose("Game One", target);
    }

    // What the Install click leaves behind before it starts the worker.
    void Choose(const std::string& folder, const std::string& installTo) {
        SetTexts([&](AppState& state) {
            state.gameFolder = folder;
            state.installFolder = installTo;
        });
        ui.DisableGadget(actionButton, 0);
    }

    test::TempDir outer;
    test::ScopedCurrentDirectory keepDirectory{outer.path()};
    std::string target;
};

TEST_F(InstallWorkerTest, InstallsEveryFileIntoNewFoldersWithProgress) {
    const std::string a = "alpha map", b = "bravo pack", c = "new readme";
    test::WriteFileBytes(target + "readme.txt", "old readme, replaced all the same");
    server.EnqueueReply(test::ListReply("data\\maps\\a.map:" + Md5Of(a) + "|data\\b.pak:" + Md5Of(b) +
                                        "|readme.txt:" + Md5Of(c) + "|"));
    server.EnqueueReply(FileReply(a));
    server.Enqueue(Script().AwaitRequest().Mark(2).AwaitGate(2).Send(FileReply(b)).Close());
    server.Enqueue(Script().AwaitRequest().Mark(3).AwaitGate(3).Send(FileReply(c)).Close());
    // A flag left over from an earlier load must not hand over a list early.
    State().filesLoaded.store(1);

    test::WorkerRun run(InstallWorker);
    ASSERT_TRUE(server.WaitForMark(2, 20000));
    EXPECT_EQ(Progress(), 33);
    EXPECT_FALSE(ButtonEnabled());
    server.OpenGate(2);
    ASSERT_TRUE(server.WaitForMark(3, 20000));
    EXPECT_EQ(Progress(), 67);
    server.OpenGate(3);
    ASSERT_TRUE(run.Finish());

    EXPECT_EQ(Lines(), (std::vector<std::string>{kListLoaded, Loading("data\\maps\\a.map"), Loading("data\\b.pak"),
                                                 Loading("readme.txt"), kInstalled}));
    EXPECT_EQ(Progress(), 100);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_NE(RequestLine(0).find("/Game One/"), std::string::npos);  // the list
    EXPECT_EQ(RequestLine(1), "GET /Game%20One/data\\maps\\a.map HTTP/1.1");
    EXPECT_EQ(RequestLine(3), "GET /Game%20One/readme.txt HTTP/1.1");
    EXPECT_EQ(test::ReadFileBytes(target + "data/maps/a.map"), a);
    EXPECT_EQ(test::ReadFileBytes(target + "data/b.pak"), b);
    EXPECT_EQ(test::ReadFileBytes(target + "readme.txt"), c);
    // The target folder stays the current directory.
    EXPECT_EQ(CurrentDirectory(), target);
}

#ifndef _WIN32
// The program's own file comes with the game and starts from there in Updater mode.
TEST_F(InstallWorkerTest, TheProgramsOwnFileIsInstalledExecutable) {
    server.EnqueueReply(
        test::ListReply("zefo-updater:" + Md5Of("program") + "|data/zefo-updater:" + Md5Of("data") + "|"));
    server.EnqueueReply(FileReply("program"));
    server.EnqueueReply(FileReply("data"));
    test::WorkerRun run(InstallWorker);
    ASSERT_TRUE(run.Finish());
    EXPECT_EQ(Lines().back(), kInstalled);
    using std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(target + "zefo-updater").permissions() & perms::all, perms(0755));
    EXPECT_EQ(std::filesystem::status(target + "data/zefo-updater").permissions() & perms::owner_exec, perms::none);
    EXPECT_EQ(test::ReadFileBytes(target + "zefo-updater"), "program");
}
#endif

TEST_F(InstallWorkerTest, FailedFilesAreCountedAndLeaveOldFilesAlone) {
    const std::string good = "good", upper = "upper-case fingerprint", loose = "no fingerprint to check";
    test::WriteFileBytes(target + "missing.pak", "old missing");
    test::WriteFileBytes(target + "wrong.pak", "old wrong");
    test::WriteFileBytes(target + "short.pak", "old short");
    std::string upperMd5 = Md5Of(upper);
    for (char& ch : upperMd5)
        ch = static_cast<char>(ch >= 'a' && ch <= 'f' ? ch - 'a' + 'A' : ch);
    server.EnqueueReply(test::ListReply(
        "good.pak:" + Md5Of(good) + "|missing.pak:" + Md5Of("x") + "|wrong.pak:" + Md5Of("what the list promised") +
        "|short.pak:" + Md5Of("short body") + "|upper.pak:" + upperMd5 + "|loose.pak:-|"));
    server.EnqueueReply(FileReply(good));
    server.EnqueueReply(test::NotFoundReply());
    server.EnqueueReply(FileReply("something else"));
    server.EnqueueReply(test::TruncatedReply("short body"));
    server.EnqueueReply(FileReply(upper));
    server.EnqueueReply(FileReply(loose));

    test::WorkerRun run(InstallWorker);
    ASSERT_TRUE(run.Finish());

    EXPECT_EQ(Lines(), (std::vector<std::string>{kListLoaded, Loading("good.pak"), Loading("missing.pak"),
                                                 CouldNotLoad("missing.pak"), Loading("wrong.pak"),
                                                 CouldNotLoad("wrong.pak"), Loading("short.pak"),
                                                 CouldNotLoad("short.pak"), Loading("upper.pak"), Loading("loose.pak"),
                                                 "The game could not be installed. 3 file(s) could not be loaded."}));
    EXPECT_EQ(Progress(), 100);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(test::ReadFileBytes(target + "good.pak"), good);
    EXPECT_EQ(test::ReadFileBytes(target + "missing.pak"), "old missing");
    EXPECT_EQ(test::ReadFileBytes(target + "wrong.pak"), "old wrong");
    EXPECT_EQ(test::ReadFileBytes(target + "short.pak"), "old short");
    EXPECT_EQ(test::ReadFileBytes(target + "upper.pak"), upper);
    EXPECT_EQ(test::ReadFileBytes(target + "loose.pak"), loose);
}

TEST_F(InstallWorkerTest, HostilePathsAreRefusedAndNothingLandsOutsideTheFolder) {
    // A ":" cannot reach a path through the list format: it separates the fields.
    const std::vector<std::string> hostile = {"..\\evil.txt",   "../evil2.txt",  "data\\..\\..\\evil3.txt",
                                              "\\evil4.txt",    "/evil5.txt",    "\\\\127.0.0.1\\share\\evil6.txt",
                                              "CON.txt",        "data\\nul",     "a?b",
                                              ".. \\evil9.txt", "...\\evil.txt", "data\\"};
    std::string block;
    for (const std::string& path : hostile)
        block += path + ":" + Md5Of("evil") + "|";
    block += "fine.txt:" + Md5Of("fine") + "|";
    server.EnqueueReply(test::ListReply(block));
    server.EnqueueReply(FileReply("fine"));

    test::WorkerRun run(InstallWorker);
    ASSERT_TRUE(run.Finish());

    std::vector<std::string> expected = {kListLoaded};
    for (const std::string& path : hostile)
        expected.push_back(CouldNotLoad(path));
    expected.push_back(Loading("fine.txt"));
    expected.push_back("The game could not be installed. " + std::to_string(hostile.size()) +
                       " file(s) could not be loaded.");
    EXPECT_EQ(Lines(), expected);
    EXPECT_EQ(Progress(), 100);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(test::ReadFileBytes(target + "fine.txt"), "fine");
    // Only the list and the one safe file were asked for.
    EXPECT_TRUE(server.WaitForFinished(1, 5000));
    EXPECT_EQ(server.Connections(), 2u);
    for (const char* name : {"evil.txt", "evil2.txt", "evil3.txt", "evil9.txt", "data"})
        EXPECT_FALSE(test::FileExists(outer.path() + name)) << name;
    EXPECT_EQ(QueryFileSize(target + "data"), -1);
}

TEST_F(InstallWorkerTest, TargetThatCannotBeEnteredTakesNoFileElsewhere) {
    Choose("Game One", outer.path() + "vanished" + outer.path().back());
    server.EnqueueReply(test::ListReply("a.txt:" + Md5Of("a") + "|b\\c.txt:" + Md5Of("c") + "|"));
    test::WorkerRun run(InstallWorker);
    ASSERT_TRUE(run.Finish());
    EXPECT_EQ(Lines(), (std::vector<std::string>{kListLoaded, CouldNotLoad("a.txt"), CouldNotLoad("b\\c.txt"),
                                                 "The game could not be installed. 2 file(s) could not be loaded."}));
    EXPECT_EQ(Progress(), 100);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(CurrentDirectory(), outer.path());
    EXPECT_FALSE(test::FileExists(outer.path() + "a.txt"));
    EXPECT_FALSE(test::FileExists(outer.path() + "b"));
    EXPECT_EQ(server.Connections(), 1u);
}

TEST_F(InstallWorkerTest, EmptyListInstallsAtOnceAndLeavesTheBarAtZero) {
    server.EnqueueReply(test::ListReply(""));
    test::WorkerRun run(InstallWorker);
    ASSERT_TRUE(run.Finish());
    EXPECT_EQ(Lines(), (std::vector<std::string>{kListLoaded, kInstalled}));
    EXPECT_EQ(Progress(), 0);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(CurrentDirectory(), target);
}

TEST_F(InstallWorkerTest, FailedListLoadEndsTheWaitAndEnablesTheButton) {
    // The server does not know the game; the flag is still set from an earlier load.
    State().filesLoaded.store(1);
    server.EnqueueReply(test::ListReply("error:ERR_GAME"));
    test::WorkerRun first(InstallWorker);
    ASSERT_TRUE(first.Finish());
    EXPECT_EQ(Lines(), (std::vector<std::string>{"The specified game does not exist on the server."}));
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(State().filesLoaded.load(), 0);
    EXPECT_EQ(CurrentDirectory(), outer.path());

    // No server at all: the loader's message box, then the button again.
    uint16_t closedPort;
    {
        test::ScriptedServer gone;
        closedPort = gone.port();
    }
    SetTexts([&](AppState& state) { state.settings.server = "127.0.0.1:" + std::to_string(closedPort); });
    test::WorkerRun second(InstallWorker);
    ASSERT_TRUE(second.Finish());
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages()[0].text, "Could not connect to server.");
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(Lines().size(), 1u);
    EXPECT_EQ(server.Connections(), 1u);
}

TEST_F(InstallWorkerTest, SecondInstallationUsesItsOwnListAndFolder) {
    server.EnqueueReply(test::ListReply("one.txt:" + Md5Of("1") + "|"));
    server.EnqueueReply(FileReply("1"));
    test::WorkerRun first(InstallWorker);
    ASSERT_TRUE(first.Finish());
    ASSERT_EQ(Lines().back(), kInstalled);

    // The first list is still there and filesLoaded is still 1.
    const std::string second = outer.path() + "second" + outer.path().back();
    ASSERT_TRUE(MakeDirectory(second));
    Choose("Game Two", second);
    server.Enqueue(Script().AwaitRequest().Pause(300).Send(test::ListReply("two.txt:" + Md5Of("2") + "|")).Close());
    server.EnqueueReply(FileReply("2"));
    test::WorkerRun run(InstallWorker);
    ASSERT_TRUE(run.Finish());

    EXPECT_NE(RequestLine(2).find("/Game Two/"), std::string::npos);  // the second list
    EXPECT_EQ(RequestLine(3), "GET /Game%20Two/two.txt HTTP/1.1");
    EXPECT_EQ(server.Connections(), 4u);
    EXPECT_EQ(test::ReadFileBytes(second + "two.txt"), "2");
    EXPECT_FALSE(test::FileExists(second + "one.txt"));
    EXPECT_EQ(Lines().back(), kInstalled);
    EXPECT_EQ(CurrentDirectory(), second);
}

}  // namespace
}  // namespace zefo
