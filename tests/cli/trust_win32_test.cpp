// The trust state of the elevated program (under Wine every process is elevated):
// the remembered fingerprints are kept where only administrators can write, and a
// cache planted in the user's own settings folder cannot keep an old file.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "base/md5.h"
#include "base/safe_folder.h"
#include "cli/cli_fixture.h"
#include "common/environment.h"
#include "sync/fingerprint_cache.h"

namespace zefo::test {
namespace {

namespace fs = std::filesystem;

TEST_F(CliTest, AnElevatedUpdateTakesNoFingerprintFromTheUsersFolder) {
    const std::string gameDat = "Trust Game\r\ntrust\r\n";
    WriteFileBytes(work / "data/game.dat", gameDat);
    WriteFileBytes(work / "a.pak", "old");
    // Old enough for a cache to vouch for it.
    fs::last_write_time(fs::u8path(work / "a.pak"), fs::file_time_type::clock::now() - std::chrono::hours(1));

    // Another program of the user's writes the new fingerprint on the old file's line
    // of the cache where the program kept it before: the user's settings folder.
    TempDir appData;
    SetEnvironment("APPDATA", appData.path());
    const std::string identity = work.path();
    Md5 md5;
    md5.Update(identity.data(), identity.size());
    const std::string cacheName = "Trust Game\\files-" + md5.FinalHex().substr(0, 12) + ".cache";
    fs::create_directories(fs::u8path(appData / "Zefo\\Trust Game"));
    std::shared_ptr<FingerprintCache> forged = FingerprintCache::AtFile(appData / "Zefo\\" + cacheName, identity);
    SafeFolder game;
    ASSERT_EQ(game.Open(work.path(), "", false), SafeFolder::OpenResult::Opened);
    forged->Remember(game, "a.pak", "a.pak", Md5Of("new"));
    ASSERT_TRUE(forged->Save());

    server.EnqueueReply(ListReply("data/game.dat:" + Md5Of(gameDat) + "|a.pak:" + Md5Of("new") + "|"));
    server.EnqueueReply(FileReply("new"));
    Outcome update = Zefo({"update", work.path()});
    EXPECT_EQ(update.code, 0) << update.out << update.err;
    EXPECT_EQ(ReadFileBytes(work / "a.pak"), "new");

    // The program's own cache is in ProgramData's protected folder.
    const char* programData = std::getenv("ProgramData");
    ASSERT_NE(programData, nullptr);
    const std::string kept = std::string(programData) + "\\Zefo\\" + cacheName;
    EXPECT_TRUE(FileExists(kept)) << kept;
    fs::remove(fs::u8path(kept));
}

}  // namespace
}  // namespace zefo::test
