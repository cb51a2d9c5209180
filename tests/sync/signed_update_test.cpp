// The engine as a program built with a publisher key runs it: every list must carry
// the publisher's signature for its own target and time, and every download must
// match its signed SHA-256. The lists are signed here with a key made for the test
// by the publisher's own signing code (native builds only).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/environment.h"
#include "common/net_test.h"
#include "common/recording_observer.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "common/test_data.h"
#include "net/clock.h"
#include "net/crypto.h"
#include "net/lists.h"
#include "net/signed_list.h"
#include "net/tcp_client.h"
#include "publish/publisher_key.h"
#include "support/settings.h"
#include "support/translations.h"
#include "sync/game_files.h"
#include "sync/http_download.h"
#include "sync/self_update.h"

namespace zefo::test {
namespace {

// A published MD5 collision (Wang and Yu, 2004): two 128-byte messages that differ
// in six bytes and share the MD5 79054025255fb1a26e4bc422aef54eb4.
const char kCollisionA[] =
    "d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f8955ad340609f4b30283e488832571415a085125e8f7cdc99f"
    "d91dbdf280373c5bd8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0e99f33420f577ee8ce54b67080a80d1e"
    "c69821bcb6a8839396f9652b6ff72a70";
const char kCollisionB[] =
    "d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f8955ad340609f4b30283e4888325f1415a085125e8f7cdc99f"
    "d91dbd7280373c5bd8823e3156348f5bae6dacd436c919c6dd53e23487da03fd02396306d248cda0e99f33420f577ee8ce54b67080280d1e"
    "c69821bcb6a8839396f965ab6ff72a70";
constexpr int64_t kVersion = 1700000100;
const char kHead[] = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";

std::string Body(const std::string& bytes) {
    return HttpResponse("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(bytes.size())}, bytes);
}

std::vector<std::string> FolderContents(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(std::filesystem::u8path(folder)))
        names.push_back(entry.path().lexically_relative(std::filesystem::u8path(folder)).generic_string());
    std::sort(names.begin(), names.end());
    return names;
}

class SignedUpdateTest : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        std::string publicKey, reason;
        ASSERT_EQ(tools::GenerateKey(keys / "publisher.pem", publicKey), "");
        key_ = tools::SigningKey::Load(keys / "publisher.pem", reason);
        ASSERT_TRUE(key_) << reason;
        trust.publisherKey = HexBytes(publicKey);
        trust.versionsFile = keys / "lists.ini";
        now = WallClockMilliseconds() / 1000;
    }

    // A reply whose block is signed for `target`.
    std::string Signed(const std::string& target,
                       const std::string& block,
                       const std::vector<std::string>& digests,
                       const std::vector<int64_t>& sizes,
                       int64_t version = kVersion,
                       int64_t expires = 0) {
        SignedListFields fields{version, expires ? expires : now + 3600, target, digests, sizes};
        const std::string sig = SignedListText(fields, block, [this](std::string_view m) { return key_->Sign(m); });
        EXPECT_NE(sig, "");
        return kHead + ("[data]" + block + "[/data]" + sig);
    }

    // The file list of game "alpha" with `files` (path, bytes), signed.
    std::string AlphaList(const std::vector<std::pair<std::string, std::string>>& files, int64_t version = kVersion) {
        std::string block;
        std::vector<std::string> digests;
        std::vector<int64_t> sizes;
        for (const auto& [path, bytes] : files) {
            block += (block.empty() ? "" : "|") + path + ":" + Md5Of(bytes);
            digests.push_back(Sha256Hex(bytes));
            sizes.push_back(static_cast<int64_t>(bytes.size()));
        }
        return Signed("/alpha/", block, digests, sizes, version);
    }

    ListResult LoadAlpha(const std::string& reply, RecordingObserver& seen, FileList& files, bool& complete) {
        server.EnqueueReply(reply);
        return LoadFileList(
            server.Host(), "alpha", seen,
            [&](FileList&& list, bool whole) {
                files = std::move(list);
                complete = whole;
            },
            trust);
    }

    TempDir keys;
    std::unique_ptr<tools::SigningKey> key_;
    ListTrust trust;
    int64_t now = 0;
    ScriptedServer server;
};

TEST_F(SignedUpdateTest, SignedListsAreTakenAndEveryRefusedOneEndsInTheMessage) {
    const std::vector<std::pair<std::string, std::string>> content = {{"readme.txt", "hello"}, {"Update.exe", "new"}};
    const std::string good = AlphaList(content);
    FileList files;
    bool complete = false;
    // In small pieces, so that the signature block ends in a later piece than the data.
    server.Enqueue(Script().AwaitRequest().SendInPieces(good, 37, 1).Close());
    ASSERT_EQ(LoadFileList(
                  server.Host(), "alpha", observer,
                  [&](FileList&& list, bool whole) {
                      files = std::move(list);
                      complete = whole;
                  },
                  trust),
              ListResult::Loaded);
    EXPECT_TRUE(complete);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[1].sha256, Sha256Hex("new"));
    EXPECT_EQ(files[1].size, 3);
    EXPECT_EQ(ReadAcceptedVersion(trust.versionsFile, "/alpha/"), kVersion);
    // The game list, signed for "/" with no digests, is kept apart.
    server.EnqueueReply(Signed("/", "Alpha:alpha|Beta:beta", {}, {}, kVersion + 7));
    GameList games;
    ASSERT_EQ(LoadGameList(
                  server.Host(), observer, [&](GameList&& list) { games = std::move(list); }, trust),
              ListResult::Loaded);
    EXPECT_EQ(games.size(), 2u);
    EXPECT_EQ(ReadAcceptedVersion(trust.versionsFile, "/"), kVersion + 7);
    const std::string versions = ReadFileBytes(trust.versionsFile);

    // The reply with the first `from` after "[sig]" (or anywhere) replaced by `to`.
    auto changed = [&](const std::string& from, const std::string& to, bool inSig) {
        std::string reply = good;
        size_t at = reply.find(from, inSig ? reply.find("[sig]") : 0);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? reply : reply.replace(at, from.size(), to);
    };
    const std::string sha = Sha256Hex("hello");
    const std::string md5 = Md5Of("hello");
    struct Case {
        std::string name;
        std::string reply;
        const char* reason;
    };
    const Case cases[] = {
        {"a byte of the data", changed("readme.txt", "readme.txu", false), "signature does not match"},
        {"a fingerprint", changed(md5, md5.substr(0, 31) + (md5[31] == '0' ? "1" : "0"), false),
         "signature does not match"},
        {"a SHA-256", changed(sha, sha.substr(0, 63) + (sha[63] == '0' ? "1" : "0"), true), "signature does not match"},
        {"the version", changed("version=" + std::to_string(kVersion), "version=" + std::to_string(kVersion + 1), true),
         "signature does not match"},
        {"the expiry", changed(";expires=", ";expires=1", true), "signature does not match"},
        {"another game's list", Signed("/beta/", "readme.txt:" + md5, {sha}, {5}), "signed for another list"},
        {"an older list", AlphaList(content, kVersion - 1), "older than a list already accepted"},
        {"an expired list", Signed("/alpha/", "readme.txt:" + md5, {sha}, {5}, kVersion + 1, now - 1), "expired"},
        {"an unsigned list", ListReply("readme.txt:" + md5), "not signed"},
        {"the game list in its place", Signed("/", "Alpha:alpha", {}, {}), "signed for another list"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingObserver seen;
        files = {FileEntry("left over", "")};
        complete = true;
        const size_t connections = server.Connections();
        EXPECT_EQ(LoadAlpha(c.reply, seen, files, complete), ListResult::ErrorReply);
        EXPECT_TRUE(files.empty());
        EXPECT_FALSE(complete);
        EXPECT_EQ(seen.Lines(), std::vector<std::string>{Translate("ERR_SIGNATURE", c.reason)});
        EXPECT_TRUE(seen.Messages().empty());
        EXPECT_TRUE(server.WaitForConnections(connections + 1, 5000));
        EXPECT_EQ(ReadFileBytes(trust.versionsFile), versions) << "only accepted lists are kept";
    }
    // The game list the same way: nothing stored.
    bool stored = false;
    server.EnqueueReply(Signed("/alpha/", "Alpha:alpha", {Sha256Hex("x")}, {1}));
    EXPECT_EQ(LoadGameList(
                  server.Host(), observer, [&](GameList&&) { stored = true; }, trust),
              ListResult::ErrorReply);
    EXPECT_FALSE(stored);
    EXPECT_EQ(observer.Lines().back(), Translate("ERR_SIGNATURE", "signed for another list"));

    // A newer list is taken again, and raises the version kept.
    ASSERT_EQ(LoadAlpha(AlphaList(content, kVersion + 60), observer, files, complete), ListResult::Loaded);
    EXPECT_EQ(ReadAcceptedVersion(trust.versionsFile, "/alpha/"), kVersion + 60);
    EXPECT_TRUE(observer.Messages().empty());
    // The server's own error reply needs no signature: it lists nothing.
    EXPECT_EQ(LoadAlpha(ListReply("error:ERR_GAME"), observer, files, complete), ListResult::ErrorReply);
    EXPECT_EQ(observer.Lines().back(), "The specified game does not exist on the server.");
}

TEST_F(SignedUpdateTest, WhatAnInstallAcceptedBindsTheUpdateAndEarlierKeptVersionsStayAFloor) {
    TempDir config;
    SetEnvironment("APPDATA", "");
    SetEnvironment("XDG_CONFIG_HOME", config.path());
    // An earlier program kept the game list's version beside the "Updater" settings
    // and the game's beside its own.
    const std::string kept = "[Signed lists]\r\n/ = " + std::to_string(kVersion + 10) +
                             "\r\n/alpha/ = " + std::to_string(kVersion + 10) + "\r\n";
    for (const char* name : {"Updater", "Alpha Game"})
        std::filesystem::create_directories(std::filesystem::u8path(config / "Zefo/" + name));
    WriteFileBytes(config / "Zefo/Updater/lists.ini", kept);
    WriteFileBytes(config / "Zefo/Alpha Game/lists.ini", kept);
    const std::vector<std::pair<std::string, std::string>> content = {{"readme.txt", "hello"}};
    const std::string older = "older than a list already accepted";

    // The installer's loads: nothing below what was kept, for either list.
    trust = KeptVersionsTrust(trust.publisherKey);
    FileList files;
    bool complete = false;
    RecordingObserver seen;
    EXPECT_EQ(LoadAlpha(AlphaList(content, kVersion + 5), seen, files, complete), ListResult::ErrorReply);
    server.EnqueueReply(Signed("/", "Alpha:alpha", {}, {}, kVersion + 5));
    EXPECT_EQ(LoadGameList(
                  server.Host(), seen, [](GameList&&) {}, trust),
              ListResult::ErrorReply);
    EXPECT_EQ(seen.Lines(), std::vector<std::string>(2, Translate("ERR_SIGNATURE", older)));
    ASSERT_EQ(LoadAlpha(AlphaList(content, kVersion + 20), observer, files, complete), ListResult::Loaded);

    // A later update, in either front end, looks where the install kept it.
    trust = KeptVersionsTrust(trust.publisherKey);
    EXPECT_EQ(LoadAlpha(AlphaList(content, kVersion + 15), seen, files, complete), ListResult::ErrorReply);
    EXPECT_EQ(seen.Lines().back(), Translate("ERR_SIGNATURE", older));
    EXPECT_EQ(LoadAlpha(AlphaList(content, kVersion + 20), observer, files, complete), ListResult::Loaded);
    // A version known from an earlier file alone is taken into the store when met
    // again; the earlier files are read, never written.
    server.EnqueueReply(Signed("/", "Alpha:alpha", {}, {}, kVersion + 10));
    EXPECT_EQ(LoadGameList(
                  server.Host(), observer, [](GameList&&) {}, trust),
              ListResult::Loaded);
    EXPECT_EQ(ReadAcceptedVersion(trust.versionsFile, "/"), kVersion + 10);
    EXPECT_EQ(ReadFileBytes(config / "Zefo/Updater/lists.ini"), kept);
    EXPECT_EQ(ReadFileBytes(config / "Zefo/Alpha Game/lists.ini"), kept);
}

TEST_F(SignedUpdateTest, AFileWhoseMd5MatchesButWhoseBytesDifferIsRefused) {
    const std::string genuine = HexBytes(kCollisionA);
    const std::string forged = HexBytes(kCollisionB);
    ASSERT_NE(genuine, forged);
    ASSERT_EQ(Md5Of(genuine), Md5Of(forged));

    // The fingerprint alone takes the forged file.
    TempDir plain;
    server.EnqueueReply(Body(forged));
    ASSERT_TRUE(HttpDownload(server.Url("alpha/Update.exe"), plain / "Update.exe", Md5Of(genuine)));
    EXPECT_EQ(ReadFileBytes(plain / "Update.exe"), forged);

    FileList files;
    bool complete = false;
    ASSERT_EQ(LoadAlpha(AlphaList({{ProgramFileName(), genuine}}), observer, files, complete), ListResult::Loaded);
    TempDir game;
    WriteFileBytes(game / ProgramFileName(), "old updater");
    const GameSource source{server.Host(), "alpha", true};
    server.EnqueueReply(Body(forged));
    RunResult result = UpdateGame(source, game.path(), files, ProgramFileName(), observer);
    EXPECT_EQ(result.failed, 1);
    EXPECT_EQ(result.swapScript, SwapScript::Gone);
    EXPECT_EQ(FolderContents(game.path()), std::vector<std::string>{ProgramFileName()})
        << "no copy, script or temporary";
    EXPECT_EQ(ReadFileBytes(game / ProgramFileName()), "old updater");

    // The genuine bytes pass both checks, in an update and in an install.
    server.EnqueueReply(Body(genuine));
    result = UpdateGame(source, game.path(), files, ProgramFileName(), observer);
    EXPECT_EQ(result.failed, 0);
    EXPECT_EQ(ReadFileBytes(game / ProgramCopyName()), genuine);
    TempDir installed;
    server.EnqueueReply(Body(genuine));
    EXPECT_EQ(InstallGame(source, installed.path(), files, observer).failed, 0);
    EXPECT_EQ(ReadFileBytes(installed / ProgramFileName()), genuine);

    // A signed run takes no file that the list gave no digest.
    files[0].sha256.clear();
    const size_t connections = server.Connections();
    result = InstallGame(source, game.path(), files, observer);
    EXPECT_EQ(result.failed, 1);
    EXPECT_EQ(server.Connections(), connections);
}

// The signed size bounds every download: no reply makes the temporary file larger,
// whatever length it announces or brings, and a leftover larger than it is not taken up.
TEST_F(SignedUpdateTest, NoDownloadGrowsPastItsSignedSize) {
    const std::string readme = "twenty-four bytes long!\n";
    FileList files;
    bool complete = false;
    ASSERT_EQ(LoadAlpha(AlphaList({{"readme.txt", readme}}), observer, files, complete), ListResult::Loaded);
    ASSERT_EQ(files[0].size, 24);
    TempDir game;
    WriteFileBytes(game / "readme.txt", "old");
    const GameSource source{server.Host(), "alpha", true};
    const std::string flood = Pattern(1 << 20, 3);
    std::string chunks;
    for (int i = 0; i < 100; ++i)
        chunks += "10\r\n" + flood.substr(16 * i, 16) + "\r\n";
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    struct Case {
        const char* name;
        std::string kept;  // a genuine start kept from before
        std::string reply;
    };
    const Case cases[] = {
        {"a length of 400 MiB", "", ok + "Content-Length: 419430400\r\n\r\n" + flood},
        {"chunks of 16 bytes", "", ok + "Transfer-Encoding: chunked\r\n\r\n" + chunks},
        {"no length", "", ok + "Connection: close\r\n\r\n" + flood},
        {"the rest of 400 MiB", readme.substr(0, 10),
         "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-419430399/419430400\r\n"
         "Content-Length: 419430390\r\n\r\n" +
             flood},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.kept.empty())
            WriteFileBytes(game / "readme.txt.zefotmp", c.kept);
        server.Enqueue(Script().AwaitRequest().Send(c.reply).Close());
        RecordingObserver seen;
        EXPECT_EQ(UpdateGame(source, game.path(), files, ProgramFileName(), seen).failed, 1);
        EXPECT_LE(seen.ReceivedBytes(), 24);
        EXPECT_EQ(ReadFileBytes(game / "readme.txt"), "old");
        if (c.kept.empty()) {
            EXPECT_EQ(FolderContents(game.path()), std::vector<std::string>{"readme.txt"});
        } else {
            EXPECT_EQ(ReadFileBytes(game / "readme.txt.zefotmp").size(), c.kept.size()) << "kept as it was";
            std::filesystem::remove(std::filesystem::u8path(game / "readme.txt.zefotmp"));
        }
    }

    WriteFileBytes(game / "readme.txt.zefotmp", readme + flood.substr(0, 100));
    const size_t request = server.Connections();
    server.EnqueueReply(Body(readme));
    EXPECT_EQ(UpdateGame(source, game.path(), files, ProgramFileName(), observer).failed, 0);
    EXPECT_EQ(server.Request(request).find("Range:"), std::string::npos) << server.Request(request);
    EXPECT_EQ(ReadFileBytes(game / "readme.txt"), readme);
    EXPECT_EQ(FolderContents(game.path()), std::vector<std::string>{"readme.txt"});
}

}  // namespace
}  // namespace zefo::test
