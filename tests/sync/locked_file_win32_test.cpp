// A game file that another program holds open (a running game, a virus scanner) cannot
// be replaced on Windows: that file fails, the held file stays as it was, no temporary
// file is left, the other files are updated, and the next run finishes the work.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/file_system.h"
#include "common/net_test.h"
#include "common/other_handle_win32.h"
#include "common/recording_observer.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "common/test_data.h"
#include "net/tcp_client.h"
#include "support/translations.h"
#include "sync/game_files.h"

namespace zefo::test {
namespace {

std::string Reply(const std::string& body) {
    return HttpResponse("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
}

using LockedFileTest = NetTest;

TEST_F(LockedFileTest, AFileAnotherProgramHoldsFailsAloneAndIsReplacedOnceItIsFree) {
    ScriptedServer server;
    TempDir folder;
    WriteFileBytes(folder / "held.pak", "old held");
    WriteFileBytes(folder / "free.pak", "old free");
    FileList files;
    files.emplace_back("held.pak", Md5Of("new held"));
    files.emplace_back("free.pak", Md5Of("new free"));
    const GameSource source{server.Host(), "game"};
    {
        // Held as programs usually hold their data: others may read, not delete or rename.
        OtherHandle game(folder / "held.pak", GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(game.opened());
        server.EnqueueReply(Reply("new held"));
        server.EnqueueReply(Reply("new free"));
        RunResult first = UpdateGame(source, folder.path(), files, "", observer);
        EXPECT_EQ(first.failed, 1);
        EXPECT_EQ(ReadFileBytes(folder / "held.pak"), "old held");
        EXPECT_EQ(ReadFileBytes(folder / "free.pak"), "new free");
        EXPECT_EQ(observer.Lines().back(), "The game could not be updated. 1 file(s) could not be loaded.");
    }
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(folder.path())))
        EXPECT_NE(entry.path().extension(), ".zefotmp") << entry.path();

    server.EnqueueReply(Reply("new held"));
    RunResult second = UpdateGame(source, folder.path(), files, "", observer);
    EXPECT_EQ(second.failed, 0);
    EXPECT_EQ(ReadFileBytes(folder / "held.pak"), "new held");
}

}  // namespace
}  // namespace zefo::test
