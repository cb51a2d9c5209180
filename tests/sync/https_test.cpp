// The engine over HTTPS: file lists, installing and updating against nginx on
// 127.0.0.1 (tests/net/tls_fixture.sh), natively and under Wine, and the servers
// whose checks fail, through which nothing is listed or written.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/net_test.h"
#include "common/recording_observer.h"
#include "common/temp_dir.h"
#include "common/test_data.h"
#include "common/trusted_authority.h"
#include "net/lists.h"
#include "net/tcp_client.h"
#include "support/translations.h"
#include "sync/game_files.h"
#include "sync/http_download.h"

namespace zefo::test {
namespace {

class HttpsTest : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        fixture_ = TlsFixtureFolder();
        ASSERT_NE(fixture_, "") << "ZEFO_TLS_FIXTURE is not set: run through ctest, which starts tls_fixture.sh";
        std::istringstream lines(ReadFileBytes(fixture_ + "ports"));
        for (std::string line; std::getline(lines, line);)
            ports_[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        ASSERT_EQ(ports_.count("good"), 1u);
        pin_ = ReadFileBytes(fixture_ + "pin").substr(0, 64);
        trust_ = std::make_unique<TrustedAuthority>(fixture_ + "ca.pem");
        ASSERT_EQ(trust_->error(), "");
    }

    // A port of FOLDER/services ("plain", "proxy"), or empty.
    std::string Service(const std::string& name) {
        std::istringstream lines(ReadFileBytes(fixture_ + "services"));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(name + "=", 0) == 0)
                return line.substr(name.size() + 1);
        }
        return {};
    }

    // The names in `folder`.
    static std::vector<std::string> Entries(const TempDir& folder) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(folder.path())))
            names.push_back(entry.path().filename().string());
        return names;
    }

    std::string Server(const std::string& name, const std::string& host = "localhost") {
        return "https://" + host + ":" + ports_.at(name);
    }

    // Publishes `files` (path, bytes) as the game `folder` of the fixture's web root.
    void Publish(const std::string& folder, const std::vector<std::pair<std::string, std::string>>& files) {
        std::string block;
        for (const auto& [path, bytes] : files) {
            WriteFileBytes(fixture_ + "www/" + folder + "/" + path, bytes);
            block += (block.empty() ? "" : "|") + path + ":" + Md5Of(bytes);
        }
        WriteFileBytes(fixture_ + "www/" + folder + "/index.html", "[data]" + block + "[/data]");
    }

    ListResult Load(const ServerAccess& access, const std::string& folder, FileList& files) {
        return LoadFileList(access, folder, observer, [&files](FileList&& list, bool) { files = std::move(list); });
    }

    std::string fixture_;
    std::map<std::string, std::string> ports_;
    std::string pin_;
    std::unique_ptr<TrustedAuthority> trust_;
};

TEST_F(HttpsTest, AGameIsListedInstalledAndUpdatedOverHttps) {
    std::filesystem::create_directories(std::filesystem::u8path(fixture_ + "www/tlsgame/maps"));
    const std::string big = Pattern(700000, 3);
    Publish("tlsgame", {{"readme.txt", "first"}, {"maps/a b.bin", big}});

    // With and without the server's pin; an address host is checked against the certificate's addresses.
    for (const ServerAccess& access : {ServerAccess(Server("good")), ServerAccess(Server("good"), pin_),
                                       ServerAccess(Server("good", "127.0.0.1"))}) {
        SCOPED_TRACE(access.server + " " + access.pin);
        FileList files;
        ASSERT_EQ(Load(access, "tlsgame", files), ListResult::Loaded);
        ASSERT_EQ(files.size(), 2u);
        EXPECT_EQ(files[1].path, "maps/a b.bin");
        EXPECT_EQ(files[1].fingerprint, Md5Of(big));

        TempDir target;
        RunResult result = InstallGame({access, "tlsgame"}, target.path(), files, observer);
        EXPECT_EQ(result.failed, 0);
        EXPECT_EQ(ReadFileBytes(target / "readme.txt"), "first");
        EXPECT_EQ(ReadFileBytes(target / "maps/a b.bin"), big);
    }

    TempDir game;
    WriteFileBytes(game / "readme.txt", "first");
    std::filesystem::create_directories(std::filesystem::u8path(game / "maps"));
    WriteFileBytes(game / "maps/a b.bin", big);
    Publish("tlsgame", {{"readme.txt", "second"}, {"maps/a b.bin", big}});
    FileList files;
    ASSERT_EQ(Load(Server("good"), "tlsgame", files), ListResult::Loaded);
    RecordingObserver update;
    RunResult result = UpdateGame({Server("good"), "tlsgame"}, game.path(), files, "", update);
    EXPECT_EQ(result.failed, 0);
    EXPECT_EQ(ReadFileBytes(game / "readme.txt"), "second");
    EXPECT_EQ(update.Files(), (std::vector<std::pair<std::string, bool>>{{"readme.txt", true}}));
    EXPECT_TRUE(observer.Messages().empty());
}

TEST_F(HttpsTest, AServerThatFailsItsChecksListsAndWritesNothing) {
    std::filesystem::create_directories(std::filesystem::u8path(fixture_ + "www/refused"));
    Publish("refused", {{"file.txt", "from the server"}});
    std::string otherPin = pin_;
    otherPin[0] = otherPin[0] == '0' ? '1' : '0';
    struct Case {
        ServerAccess access;
        const char* reason;
    };
    const Case cases[] = {
        {Server("self"), "self-signed certificate"},
        {Server("expired"), "certificate has expired"},
        {Server("other"), "unknown certificate authority"},
        {ServerAccess(Server("good"), otherPin), "public key does not match the pinned key"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        RecordingObserver seen;
        FileList files{FileEntry("kept", "")};
        EXPECT_EQ(LoadFileList(c.access, "refused", seen, [&files](FileList&& list, bool) { files = std::move(list); }),
                  ListResult::Unreachable);
        EXPECT_EQ(files.size(), 1u) << "the list is not touched";
        // The reason, then the message of an unreachable server.
        EXPECT_EQ(seen.Lines(), std::vector<std::string>{c.reason});
        ASSERT_EQ(seen.Messages().size(), 1u);
        EXPECT_EQ(seen.Messages()[0].text, "Could not connect to server.");

        // A download through the same server fails and keeps the file there.
        TempDir target;
        WriteFileBytes(target / "file.txt", "old");
        FileList listed{FileEntry("file.txt", Md5Of("from the server"))};
        RunResult result = UpdateGame({c.access, "refused"}, target.path(), listed, "", seen);
        EXPECT_EQ(result.failed, 1);
        EXPECT_EQ(ReadFileBytes(target / "file.txt"), "old");
        SafeFolder folder;
        ASSERT_EQ(folder.Open(target.path(), "", false), SafeFolder::OpenResult::Opened);
        Location location;
        ASSERT_TRUE(FileLocation({c.access, "refused"}, "file.txt", location));
        HttpClient client(false);
        EXPECT_FALSE(DownloadFile(client, location, folder, "file.txt", DownloadChecks{}, nullptr));
        EXPECT_EQ(ReadFileBytes(target / "file.txt"), "old");
    }
}

TEST_F(HttpsTest, ThroughAProxyTheTunnelCarriesHttpsAndEveryCheckStillHolds) {
    const std::string proxy = Service("proxy");
    if (proxy.empty() || proxy == "0")
        GTEST_SKIP() << ReadFileBytes(fixture_ + "proxy-skip");
    std::filesystem::create_directories(std::filesystem::u8path(fixture_ + "www/tunnel"));
    Publish("tunnel", {{"file.txt", "through the tunnel"}});
    GameSource source{ServerAccess(Server("good"), pin_), "tunnel"};
    source.access.proxy = source.network.proxy = "http://127.0.0.1:" + proxy;
    FileList files;
    ASSERT_EQ(Load(source.access, "tunnel", files), ListResult::Loaded);
    TempDir target;
    EXPECT_EQ(InstallGame(source, target.path(), files, observer).failed, 0);
    EXPECT_EQ(ReadFileBytes(target / "file.txt"), "through the tunnel");
    const std::string log = ReadFileBytes(fixture_ + "tinyproxy.log");
    EXPECT_NE(log.find("CONNECT localhost:" + ports_.at("good")), std::string::npos) << log;

    // Another key behind the tunnel is refused as without a proxy: nothing is written.
    source.access.pin[0] = source.access.pin[0] == '0' ? '1' : '0';
    WriteFileBytes(target / "file.txt", "old");
    RecordingObserver refused;
    EXPECT_EQ(UpdateGame(source, target.path(), files, "", refused).failed, 1);
    EXPECT_EQ(ReadFileBytes(target / "file.txt"), "old");
    EXPECT_EQ(Entries(target), std::vector<std::string>{"file.txt"});
}

TEST_F(HttpsTest, ARedirectFromHttpsToPlainHttpFailsTheFileAndKeepsTheOldOne) {
    // nginx serves the file over plain HTTP too, where the redirect leads: only the
    // refusal fails it.
    const std::string pattern = ReadFileBytes(fixture_ + "www/pattern.bin");
    TempDir direct;
    ASSERT_TRUE(
        HttpDownload("http://127.0.0.1:" + Service("plain") + "/pattern.bin", direct / "p.bin", Md5Of(pattern)));
    TempDir target;
    WriteFileBytes(target / "pattern.bin", "old");
    FileList files{FileEntry("pattern.bin", Md5Of(pattern))};
    RecordingObserver seen;
    EXPECT_EQ(UpdateGame({Server("good"), "to-plain"}, target.path(), files, "", seen).failed, 1);
    EXPECT_EQ(ReadFileBytes(target / "pattern.bin"), "old");
    EXPECT_EQ(Entries(target), std::vector<std::string>{"pattern.bin"});
}

}  // namespace
}  // namespace zefo::test
