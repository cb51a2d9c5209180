// The command-line client as a user runs it: the real program in a child process
// against the scripted server, its exit codes, output and the files it leaves.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_fixture.h"

namespace zefo::test {
namespace {

TEST_F(CliTest, BadUsageUnreachableServersAndUnknownGamesHaveTheirExitCodes) {
    EXPECT_EQ(Zefo({"frobnicate"}).code, 2);
    EXPECT_EQ(Zefo({"install", "only-one"}).code, 2);
    Outcome noGame = Zefo({"update", work / "data"});
    EXPECT_EQ(noGame.code, 2);
    EXPECT_NE(noGame.err.find("data/game.dat"), std::string::npos) << noGame.err;

    uint16_t unused;
    {
        ScriptedServer gone;
        unused = gone.port();
    }
    ChildProcess offline(Program(), {"games", "--server", "127.0.0.1:" + std::to_string(unused)});
    EXPECT_EQ(offline.Wait(60000), 3);
    EXPECT_NE(offline.Errors().find("Could not connect to server."), std::string::npos) << offline.Errors();

    server.EnqueueReply(ListReply("Alpha:alpha|"));
    Outcome unknown = Zefo({"install", "beta", work / "beta"});
    EXPECT_EQ(unknown.code, 3);
    EXPECT_NE(unknown.err.find("beta"), std::string::npos) << unknown.err;

    WriteFileBytes(work / "data/game.dat", "Gone Game\r\ngone\r\n");
    server.EnqueueReply(ListReply("error:ERR_GAME"));
    Outcome refused = Zefo({"update", work.path()});
    EXPECT_EQ(refused.code, 3);
    EXPECT_NE(refused.out.find("The specified game does not exist on the server."), std::string::npos) << refused.out;
}

TEST_F(CliTest, ProxyAndSpeedLimitAreCheckedBeforeTheServerIsAsked) {
    Outcome proxy = Zefo({"games", "--proxy", "socks5://127.0.0.1:1080"});
    EXPECT_EQ(proxy.code, 2);
    EXPECT_NE(proxy.err.find("zefo: --proxy needs none or a proxy URL"), std::string::npos) << proxy.err;
    EXPECT_NE(proxy.err.find("\"socks5://127.0.0.1:1080\""), std::string::npos) << proxy.err;
    EXPECT_NE(proxy.err.find("--limit-rate RATE"), std::string::npos) << "the usage follows: " << proxy.err;
    Outcome rate = Zefo({"games", "--limit-rate=1.5 M"});
    EXPECT_EQ(rate.code, 2);
    EXPECT_NE(rate.err.find("zefo: --limit-rate needs bytes per second"), std::string::npos) << rate.err;
    EXPECT_EQ(Zefo({"games", "--proxy="}).code, 2);
    EXPECT_EQ(server.Connections(), 0u);

    server.EnqueueReply(ListReply("Alpha:alpha|"));
    Outcome good = Zefo({"games", "--proxy=NONE", "--limit-rate", "500k"});
    EXPECT_EQ(good.code, 0) << good.err;
    EXPECT_NE(good.out.find("alpha\tAlpha"), std::string::npos) << good.out;
}

TEST_F(CliTest, InstallsAndRefusesWhatAHostileListNames) {
    const std::string target = work / "game";
    server.EnqueueReply(ListReply("Demo:demo|"));
    server.EnqueueReply(ListReply("readme.txt:" + Md5Of("read me") + "|../escape.txt:" + Md5Of("x") + "|Update.bat:" +
                                  Md5Of("echo") + "|data/game.dat:" + Md5Of("Demo\r\ndemo\r\n") + "|"));
    server.EnqueueReply(FileReply("read me"));
    server.EnqueueReply(FileReply("Demo\r\ndemo\r\n"));
    // One connection: the scripted replies come in the order of the list.
    Outcome install = Zefo({"install", "demo", target, "--connections", "1"});
    EXPECT_EQ(install.code, 1) << install.out << install.err;
    EXPECT_NE(install.out.find("Could not load \"../escape.txt\"."), std::string::npos) << install.out;
    EXPECT_NE(install.out.find("The game could not be installed. 2 file(s) could not be loaded."), std::string::npos);
    EXPECT_EQ(Contents(target), (std::vector<std::string>{"data", "data/game.dat", "readme.txt"}));
    EXPECT_FALSE(FileExists(work / "escape.txt"));
    EXPECT_EQ(server.Connections(), 4u);
}

TEST_F(CliTest, CtrlCDuringADownloadKeepsTheOldFileAndLeavesNoPartOfTheNewOne) {
    WriteFileBytes(work / "data/game.dat", "Big Game\r\nbig\r\n");
    WriteFileBytes(work / "big.bin", "old contents");
    const std::string big = Pattern(2'000'000, 3);
    server.EnqueueReply(ListReply("data/game.dat:" + Md5Of("Big Game\r\nbig\r\n") + "|big.bin:" + Md5Of(big) + "|"));
    server.Enqueue(Script()
                       .AwaitRequest()
                       .Send("HTTP/1.1 200 OK\r\nContent-Length: 2000000\r\n\r\n" + big.substr(0, 1'000'000))
                       .Mark(1)
                       .AwaitGate(1)
                       .Close());
    ChildProcess child(Program(), {"update", work.path(), "--server", server.Host()});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(server.WaitForMark(1, 30000));
    // The first half has been sent; give the client a moment to write some of it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(child.Interrupt());
    int code = child.Wait(30000);
    server.OpenGate(1);
    EXPECT_EQ(code, 130) << child.Output() << child.Errors();
    EXPECT_EQ(ReadFileBytes(work / "big.bin"), "old contents");
    EXPECT_EQ(Contents(work.path()), (std::vector<std::string>{"big.bin", "data", "data/game.dat"}));
}

}  // namespace
}  // namespace zefo::test
