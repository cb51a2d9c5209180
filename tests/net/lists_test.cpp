#include "net/lists.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/ids.h"
#include "common/scripted_server.h"
#include "net/clock.h"
#include "net_test_support.h"

namespace zefo::test {
namespace {

class ListsTest : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        ui.OpenWindow(mainWindow, 0, 0, 400, 325, "Zefo Installer", 0);
        ui.TextListGadget(statusList, 5, 30, 390, 240);
        std::lock_guard guard(State().textLock);
        State().settings.server = server.Host();
        State().gameFolder = "my game";
    }
    std::vector<std::string> StatusLines() { return ui.Items(statusList); }

    ScriptedServer server;
};

TEST_F(ListsTest, GameListFillsInOrderThenSetsItsFlag) {
    server.EnqueueReply(ListReply("Alpha:alpha|Beta Two:beta2|NoFolder|"));
    EXPECT_EQ(GameListLoader(1), 0);
    const GameList& games = State().gameList;
    ASSERT_EQ(games.size(), 3u);
    EXPECT_EQ(games[0].name, "Alpha");
    EXPECT_EQ(games[0].folder, "alpha");
    EXPECT_EQ(games[1].name, "Beta Two");
    EXPECT_EQ(games[1].folder, "beta2");
    EXPECT_EQ(games[2].name, "NoFolder");
    EXPECT_EQ(games[2].folder, "");
    EXPECT_EQ(State().gamesLoaded.load(), 1);
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"Game list has been loaded."});
    ASSERT_TRUE(server.WaitForFinished(0, 10000));
    EXPECT_EQ(server.Request(0).substr(0, 16), "GET / HTTP/1.0\r\n");
}

TEST_F(ListsTest, GameListHasNoErrorFormAndMayBeEmpty) {
    server.EnqueueReply(ListReply("error:ERR_GAME"));
    GameListLoader(1);
    ASSERT_EQ(State().gameList.size(), 1u);
    EXPECT_EQ(State().gameList[0].name, "error");
    EXPECT_EQ(State().gameList[0].folder, "ERR_GAME");

    State().gamesLoaded.store(0);
    server.EnqueueReply(ListReply(""));
    GameListLoader(1);
    EXPECT_TRUE(State().gameList.empty());
    EXPECT_EQ(State().gamesLoaded.load(), 1);
    EXPECT_EQ(StatusLines().size(), 2u);
}

TEST_F(ListsTest, FileListFillsEntriesForTheGameFolder) {
    server.EnqueueReply(ListReply("data/a.pak:0123abcd|data/b.pak:4567ef01|readme.txt|"));
    EXPECT_EQ(FileListLoader(1), 0);
    const FileList& files = State().fileList;
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].path, "data/a.pak");
    EXPECT_EQ(files[0].fingerprint, "0123abcd");
    EXPECT_EQ(files[1].path, "data/b.pak");
    EXPECT_EQ(files[1].fingerprint, "4567ef01");
    EXPECT_EQ(files[2].fingerprint, "");  // never equals a local fingerprint
    for (const auto& file : files) {
        EXPECT_EQ(file.chosen.load(), 1);
        EXPECT_EQ(file.upToDate.load(), 0);
        EXPECT_EQ(file.failed.load(), 0);
        EXPECT_EQ(file.localName, "");
    }
    EXPECT_EQ(State().filesLoaded.load(), 1);
    EXPECT_EQ(State().fileLoadsEnded.load(), 1u);
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"File list has been loaded."});
    ASSERT_TRUE(server.WaitForFinished(0, 10000));
    EXPECT_EQ(server.Request(0),
              "GET /my game/ HTTP/1.0\r\nHost: " + server.Host() + "\r\nUser-Agent: Zefo Game Updater\r\n\r\n");
}

TEST_F(ListsTest, AnErrorReplyEmptiesTheListAndShowsTheNamedText) {
    State().fileList.emplace_back("old.pak", "00");
    server.EnqueueReply(ListReply("error:ERR_GAME"));
    FileListLoader(1);
    EXPECT_TRUE(State().fileList.empty());
    EXPECT_EQ(State().filesLoaded.load(), 0);
    EXPECT_EQ(State().fileLoadsEnded.load(), 1u);
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"The specified game does not exist on the server."});

    // A first record whose path is "error" is an error reply; the key runs to the next ":".
    server.EnqueueReply(ListReply("error:NO_SUCH_KEY|a:1"));
    FileListLoader(1);
    EXPECT_TRUE(State().fileList.empty());
    EXPECT_EQ(State().filesLoaded.load(), 0);
    EXPECT_EQ(State().fileLoadsEnded.load(), 2u);
    EXPECT_EQ(StatusLines().back(), "");
    EXPECT_TRUE(ui.Messages().empty());
}

TEST_F(ListsTest, AnEmptyBlockIsAnEmptyLoadedList) {
    State().fileList.emplace_back("old.pak", "00");
    server.EnqueueReply(ListReply("||"));
    FileListLoader(1);
    EXPECT_TRUE(State().fileList.empty());
    EXPECT_EQ(State().filesLoaded.load(), 1);
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"File list has been loaded."});
}

TEST_F(ListsTest, FailedLoadsKeepThePreviousListAndStillCountAsEnded) {
    State().fileList.emplace_back("old.pak", "00");
    State().gameList.push_back(GameEntry{"old", "Old"});
    ManualClock clock;
    SetTestClock(&clock);
    server.Enqueue(Script().AwaitRequest().StaySilent());
    FileListLoader(1);
    server.Enqueue(Script().AwaitRequest().StaySilent());
    GameListLoader(1);
    SetTestClock(nullptr);
    ASSERT_EQ(State().fileList.size(), 1u);
    EXPECT_EQ(State().fileList[0].path, "old.pak");
    ASSERT_EQ(State().gameList.size(), 1u);
    EXPECT_EQ(State().filesLoaded.load(), 0);
    EXPECT_EQ(State().gamesLoaded.load(), 0);
    EXPECT_EQ(State().fileLoadsEnded.load(), 1u);
    EXPECT_TRUE(StatusLines().empty());
    auto messages = ui.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "The request to the server timed out.");
    EXPECT_EQ(messages[1].text, "The request to the server timed out.");

    uint16_t unused;
    {
        ScriptedServer gone;
        unused = gone.port();
    }
    {
        std::lock_guard guard(State().textLock);
        State().settings.server = "127.0.0.1:" + std::to_string(unused);
    }
    FileListLoader(1);
    EXPECT_EQ(State().fileLoadsEnded.load(), 2u);
    EXPECT_EQ(State().fileList.size(), 1u);
    EXPECT_EQ(ui.Messages().back().text, "Could not connect to server.");
}

TEST_F(ListsTest, ListsTooLargeOrAskingForControlCharactersAreRefused) {
    const std::string refused = "The list sent by the server could not be read.";
    // A million and one records, each only a few bytes, would cost gigabytes as entries.
    State().fileList.emplace_back("old.pak", "00");
    std::string huge;
    for (int i = 0; i <= 1'000'000; ++i)
        huge += "a|";
    server.EnqueueReply(ListReply(huge));
    FileListLoader(1);
    EXPECT_TRUE(State().fileList.empty());
    EXPECT_EQ(State().filesLoaded.load(), 0);
    EXPECT_EQ(State().fileLoadsEnded.load(), 1u);
    EXPECT_EQ(StatusLines(), std::vector<std::string>{refused});
    server.EnqueueReply(ListReply(huge));
    GameListLoader(1);
    EXPECT_EQ(State().gamesLoaded.load(), 0);
    EXPECT_EQ(StatusLines().back(), refused);

    // A record without a path names no file.
    server.EnqueueReply(ListReply(":0123|b.pak:4567|"));
    FileListLoader(1);
    ASSERT_EQ(State().fileList.size(), 1u);
    EXPECT_EQ(State().fileList[0].path, "b.pak");

    // A game whose folder would add lines to the file-list request is not offered, and a
    // folder like that from anywhere else is never sent.
    server.EnqueueReply(ListReply("Good:good|Bad:g HTTP/1.0\r\nX-Injected: 1\r\n\r\nGET /smuggled|"));
    GameListLoader(1);
    ASSERT_EQ(State().gameList.size(), 1u);
    EXPECT_EQ(State().gameList[0].folder, "good");
    const size_t connections = server.Connections();
    {
        std::lock_guard guard(State().textLock);
        State().gameFolder = "g HTTP/1.0\r\nX-Injected: 1\r\n\r\nGET /smuggled";
    }
    FileListLoader(1);
    EXPECT_EQ(State().fileLoadsEnded.load(), 3u);
    EXPECT_EQ(StatusLines().back(), refused);
    EXPECT_FALSE(server.WaitForConnections(connections + 1, 500));
    EXPECT_TRUE(ui.Messages().empty());
}

}  // namespace
}  // namespace zefo::test
