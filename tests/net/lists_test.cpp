#include "net/lists.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/net_test.h"
#include "common/scripted_server.h"
#include "net/clock.h"
#include "net/server_request.h"

namespace zefo::test {
namespace {

class ListsTest : public NetTest {
  protected:
    // The loads as the window program's loaders make them: what they store, and
    // whether a complete list arrived.
    ListResult LoadGames() {
        return LoadGameList(serverText, observer, [this](GameList&& games) {
            gameList = std::move(games);
            gamesLoaded = 1;
        });
    }
    ListResult LoadFiles() {
        ++fileLoadsEnded;
        return LoadFileList(serverText, gameFolder, observer, [this](FileList&& files, bool complete) {
            fileList = std::move(files);
            if (complete)
                filesLoaded = 1;
        });
    }
    std::vector<std::string> StatusLines() { return observer.Lines(); }

    ScriptedServer server;
    std::string serverText = server.Host();
    std::string gameFolder = "my game";
    GameList gameList;
    FileList fileList;
    int gamesLoaded = 0;
    int filesLoaded = 0;
    unsigned fileLoadsEnded = 0;
};

TEST_F(ListsTest, GameListFillsInOrderThenSetsItsFlag) {
    server.EnqueueReply(ListReply("Alpha:alpha|Beta Two:beta2|NoFolder|"));
    EXPECT_EQ(LoadGames(), ListResult::Loaded);
    const GameList& games = gameList;
    ASSERT_EQ(games.size(), 3u);
    EXPECT_EQ(games[0].name, "Alpha");
    EXPECT_EQ(games[0].folder, "alpha");
    EXPECT_EQ(games[1].name, "Beta Two");
    EXPECT_EQ(games[1].folder, "beta2");
    EXPECT_EQ(games[2].name, "NoFolder");
    EXPECT_EQ(games[2].folder, "");
    EXPECT_EQ(gamesLoaded, 1);
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"Game list has been loaded."});
    ASSERT_TRUE(server.WaitForFinished(0, 10000));
    EXPECT_EQ(server.Request(0).substr(0, 16), "GET / HTTP/1.0\r\n");
}

TEST_F(ListsTest, GameListHasNoErrorFormAndMayBeEmpty) {
    server.EnqueueReply(ListReply("error:ERR_GAME"));
    LoadGames();
    ASSERT_EQ(gameList.size(), 1u);
    EXPECT_EQ(gameList[0].name, "error");
    EXPECT_EQ(gameList[0].folder, "ERR_GAME");

    gamesLoaded = 0;
    server.EnqueueReply(ListReply(""));
    LoadGames();
    EXPECT_TRUE(gameList.empty());
    EXPECT_EQ(gamesLoaded, 1);
    EXPECT_EQ(StatusLines().size(), 2u);
}

TEST_F(ListsTest, FileListFillsEntriesForTheGameFolder) {
    server.EnqueueReply(ListReply("data/a.pak:0123abcd|data/b.pak:4567ef01|readme.txt|"));
    EXPECT_EQ(LoadFiles(), ListResult::Loaded);
    const FileList& files = fileList;
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
    EXPECT_EQ(filesLoaded, 1);
    EXPECT_EQ(fileLoadsEnded, 1u);
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"File list has been loaded."});
    ASSERT_TRUE(server.WaitForFinished(0, 10000));
    EXPECT_EQ(server.Request(0),
              "GET /my game/ HTTP/1.0\r\nHost: " + server.Host() + "\r\nUser-Agent: Zefo Game Updater\r\n\r\n");
}

TEST_F(ListsTest, MirrorsBeforeTheBlockLeaveTheListAsTodaysReadersSeeIt) {
    const std::string block = "data/a.pak:0123abcd|readme.txt:4567ef01";
    const std::string withMirrors =
        "HTTP/1.0 200 OK\r\n\r\n[mirrors]http://m1.example/www/|https://[::1]:8443/[/mirrors]\n"
        "[data]" +
        block + "[/data]";
    // The block as the plain exchange hands it to any reader, and the files a reader
    // that asks for no mirrors makes of it.
    server.EnqueueReply(withMirrors);
    std::string seen;
    ASSERT_EQ(ServerRequest(serverText, "/my game/", observer, [&seen](const std::string& b) { seen = b; }),
              RequestResult::Done);
    EXPECT_EQ(seen, block);
    server.EnqueueReply(withMirrors);
    ASSERT_EQ(LoadFiles(), ListResult::Loaded);
    ASSERT_EQ(fileList.size(), 2u);
    EXPECT_EQ(fileList[1].path, "readme.txt");
    EXPECT_EQ(fileList[1].fingerprint, "4567ef01");

    std::vector<std::string> mirrors{"left over"};
    auto load = [&] {
        return LoadFileList(
            serverText, gameFolder, observer, [this](FileList&& files, bool) { fileList = std::move(files); }, {},
            &mirrors);
    };
    server.EnqueueReply(withMirrors);
    ASSERT_EQ(load(), ListResult::Loaded);
    EXPECT_EQ(mirrors, (std::vector<std::string>{"http://m1.example/www/", "https://[::1]:8443/"}));
    EXPECT_EQ(fileList.size(), 2u);
    // None from a list without the line, nor from an error reply that has one.
    server.EnqueueReply(ListReply(block));
    ASSERT_EQ(load(), ListResult::Loaded);
    EXPECT_TRUE(mirrors.empty());
    server.EnqueueReply("[mirrors]http://m1.example/[/mirrors][data]error:ERR_GAME[/data]");
    mirrors = {"left over"};
    EXPECT_EQ(load(), ListResult::ErrorReply);
    EXPECT_TRUE(mirrors.empty());
}

TEST_F(ListsTest, AnErrorReplyEmptiesTheListAndShowsTheNamedText) {
    fileList.emplace_back("old.pak", "00");
    server.EnqueueReply(ListReply("error:ERR_GAME"));
    LoadFiles();
    EXPECT_TRUE(fileList.empty());
    EXPECT_EQ(filesLoaded, 0);
    EXPECT_EQ(fileLoadsEnded, 1u);
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"The specified game does not exist on the server."});

    // A first record whose path is "error" is an error reply; the key runs to the next ":".
    server.EnqueueReply(ListReply("error:NO_SUCH_KEY|a:1"));
    LoadFiles();
    EXPECT_TRUE(fileList.empty());
    EXPECT_EQ(filesLoaded, 0);
    EXPECT_EQ(fileLoadsEnded, 2u);
    EXPECT_EQ(StatusLines().back(), "");
    EXPECT_TRUE(observer.Messages().empty());
}

TEST_F(ListsTest, AnEmptyBlockIsAnEmptyLoadedList) {
    fileList.emplace_back("old.pak", "00");
    server.EnqueueReply(ListReply("||"));
    LoadFiles();
    EXPECT_TRUE(fileList.empty());
    EXPECT_EQ(filesLoaded, 1);
    EXPECT_EQ(StatusLines(), std::vector<std::string>{"File list has been loaded."});
}

TEST_F(ListsTest, FailedLoadsKeepThePreviousListAndStillCountAsEnded) {
    fileList.emplace_back("old.pak", "00");
    gameList.push_back(GameEntry{"old", "Old"});
    ManualClock clock;
    SetTestClock(&clock);
    server.Enqueue(Script().AwaitRequest().StaySilent());
    LoadFiles();
    server.Enqueue(Script().AwaitRequest().StaySilent());
    LoadGames();
    SetTestClock(nullptr);
    ASSERT_EQ(fileList.size(), 1u);
    EXPECT_EQ(fileList[0].path, "old.pak");
    ASSERT_EQ(gameList.size(), 1u);
    EXPECT_EQ(filesLoaded, 0);
    EXPECT_EQ(gamesLoaded, 0);
    EXPECT_EQ(fileLoadsEnded, 1u);
    EXPECT_TRUE(StatusLines().empty());
    auto messages = observer.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "The request to the server timed out.");
    EXPECT_EQ(messages[1].text, "The request to the server timed out.");

    uint16_t unused;
    {
        ScriptedServer gone;
        unused = gone.port();
    }
    serverText = "127.0.0.1:" + std::to_string(unused);
    LoadFiles();
    EXPECT_EQ(fileLoadsEnded, 2u);
    EXPECT_EQ(fileList.size(), 1u);
    EXPECT_EQ(observer.Messages().back().text, "Could not connect to server.");
}

TEST_F(ListsTest, ListsTooLargeOrAskingForControlCharactersAreRefused) {
    const std::string refused = "The list sent by the server could not be read.";
    // A million and one records, each only a few bytes, would cost gigabytes as entries.
    fileList.emplace_back("old.pak", "00");
    std::string huge;
    for (int i = 0; i <= 1'000'000; ++i)
        huge += "a|";
    server.EnqueueReply(ListReply(huge));
    LoadFiles();
    EXPECT_TRUE(fileList.empty());
    EXPECT_EQ(filesLoaded, 0);
    EXPECT_EQ(fileLoadsEnded, 1u);
    EXPECT_EQ(StatusLines(), std::vector<std::string>{refused});
    server.EnqueueReply(ListReply(huge));
    LoadGames();
    EXPECT_EQ(gamesLoaded, 0);
    EXPECT_EQ(StatusLines().back(), refused);

    // A record without a path names no file.
    server.EnqueueReply(ListReply(":0123|b.pak:4567|"));
    LoadFiles();
    ASSERT_EQ(fileList.size(), 1u);
    EXPECT_EQ(fileList[0].path, "b.pak");

    // A game whose folder would add lines to the file-list request is not offered, and a
    // folder like that from anywhere else is never sent.
    server.EnqueueReply(ListReply("Good:good|Bad:g HTTP/1.0\r\nX-Injected: 1\r\n\r\nGET /smuggled|"));
    LoadGames();
    ASSERT_EQ(gameList.size(), 1u);
    EXPECT_EQ(gameList[0].folder, "good");
    const size_t connections = server.Connections();
    gameFolder = "g HTTP/1.0\r\nX-Injected: 1\r\n\r\nGET /smuggled";
    LoadFiles();
    EXPECT_EQ(fileLoadsEnded, 3u);
    EXPECT_EQ(StatusLines().back(), refused);
    EXPECT_FALSE(server.WaitForConnections(connections + 1, 500));
    EXPECT_TRUE(observer.Messages().empty());
}

}  // namespace
}  // namespace zefo::test
