// The network tests' web servers (web_fixture.h) through the client's own code: nginx
// on both loopback addresses, and tinyproxy in front of it.
#include "common/web_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "base/file_system.h"
#include "common/environment.h"
#include "common/net_test.h"
#include "common/scripted_server.h"
#include "common/socket_shim.h"
#include "common/temp_dir.h"
#include "common/test_data.h"
#include "net/http_client.h"
#include "net/lists.h"
#include "net/stream.h"
#include "support/translations.h"
#include "sync/http_download.h"

namespace zefo::test {
namespace {

class WebFixtureTest : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        ASSERT_EQ(web.error(), "");
        pattern = ReadFileBytes(web.WebRoot() + "pattern.bin");
        ASSERT_EQ(pattern.size(), 300000u);
    }

    // Sends `request` to `host` and `port` over the client's own stream and gives
    // everything that came back until the server closed (at most 20 s).
    static std::string Exchange(const std::string& host, uint16_t port, const std::string& request) {
        ServerAddress address;
        address.host = host;
        address.port = port;
        std::string reason;
        StreamPtr stream = OpenStream(address, "", 5000, reason);
        if (!stream || stream->Send(request.data(), static_cast<int>(request.size())) < 0)
            return "no connection " + reason;
        std::string reply;
        std::array<char, 16384> piece;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (bool open = true; open && std::chrono::steady_clock::now() < deadline;) {
            if (!stream->WaitReadable(100))
                continue;
            const int received = stream->ReceiveWaiting(piece.data(), static_cast<int>(piece.size()));
            if (received > 0)
                reply.append(piece.data(), static_cast<size_t>(received));
            else if (received != kReceiveNothing)
                open = false;
        }
        return reply;
    }
    // A GET for `target` with the Host line of the web server.
    std::string Get(const std::string& target, const std::string& host = "127.0.0.1") const {
        return "GET " + target + " HTTP/1.0\r\nHost: " + host + ":" + std::to_string(web.webPort()) +
               "\r\nUser-Agent: Zefo Game Updater\r\n\r\n";
    }
    // Whether `reply` is a 200 with the pattern as its body.
    ::testing::AssertionResult ThePattern(const std::string& reply) const {
        const size_t body = reply.find("\r\n\r\n");
        if (reply.compare(0, 5, "HTTP/") != 0 || reply.compare(9, 3, "200") != 0 || body == std::string::npos ||
            reply.compare(body + 4, std::string::npos, pattern) != 0)
            return ::testing::AssertionFailure() << reply.substr(0, 300);
        return ::testing::AssertionSuccess();
    }

    WebFixture web;
    std::string pattern;
    TempDir temp;
};

TEST_F(WebFixtureTest, NginxServesFilesAndListsOnBothLoopbackAddressesAndLogsTheirBytes) {
    ASSERT_TRUE(HttpDownload(web.WebUrl() + "/pattern.bin", temp / "v4.bin", Md5Of(pattern)));
    EXPECT_EQ(ReadFileBytes(temp / "v4.bin"), pattern);
    EXPECT_NE(web.AccessLog().find("GET /pattern.bin 200 300000 "), std::string::npos) << web.AccessLog();
    if (web.ipv6()) {
        EXPECT_TRUE(ThePattern(Exchange("::1", web.webPort(), Get("/pattern.bin", "[::1]"))));
    }

    EnsureDirectory(web.WebRoot() + "smoke/");
    WriteFileBytes(web.WebRoot() + "smoke/index.html", "[data]pattern.bin:" + Md5Of(pattern) + "[/data]");
    FileList files;
    ASSERT_EQ(LoadFileList("127.0.0.1:" + std::to_string(web.webPort()), "smoke", observer,
                           [&files](FileList&& list, bool) { files = std::move(list); }),
              ListResult::Loaded);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].fingerprint, Md5Of(pattern));

    // The redirect rules are in place.
    const std::string moved = Exchange("127.0.0.1", web.webPort(), Get("/redirect/pattern.bin"));
    EXPECT_EQ(moved.substr(0, 12).substr(9), "302") << moved.substr(0, 300);
    EXPECT_NE(moved.find("/pattern.bin\r\n"), std::string::npos) << moved.substr(0, 300);
}

TEST_F(WebFixtureTest, AnIpv6LiteralServesListsAndDownloads) {
    if (!web.ipv6())
        GTEST_SKIP() << "nginx does not listen on [::1] here";
    EnsureDirectory(web.WebRoot() + "six/");
    WriteFileBytes(web.WebRoot() + "six/index.html", "[data]pattern.bin:" + Md5Of(pattern) + "[/data]");
    FileList files;
    ASSERT_EQ(LoadFileList("[::1]:" + std::to_string(web.webPort()), "six", observer,
                           [&files](FileList&& list, bool) { files = std::move(list); }),
              ListResult::Loaded);
    ASSERT_EQ(files.size(), 1u);
    ASSERT_TRUE(HttpDownload(web.WebUrl(true) + "/pattern.bin", temp / "v6.bin", Md5Of(pattern)));
    EXPECT_EQ(ReadFileBytes(temp / "v6.bin"), pattern);
}

TEST_F(WebFixtureTest, TinyproxyRelaysARequestToNginx) {
    if (web.proxyPort() == 0)
        GTEST_SKIP() << web.proxySkipReason();
    const std::string url = web.WebUrl() + "/pattern.bin";
    EXPECT_TRUE(ThePattern(Exchange("127.0.0.1", web.proxyPort(), Get(url))));
    EXPECT_NE(web.ProxyLog().find("GET " + url), std::string::npos) << web.ProxyLog();
}

TEST_F(WebFixtureTest, ListsAndDownloadsGoThroughTheProxyUnlessNoProxyNamesTheServer) {
    if (web.proxyPort() == 0)
        GTEST_SKIP() << web.proxySkipReason();
    EnsureDirectory(web.WebRoot() + "proxied/");
    WriteFileBytes(web.WebRoot() + "proxied/index.html", "[data]pattern.bin:" + Md5Of(pattern) + "[/data]");
    const std::string server = "127.0.0.1:" + std::to_string(web.webPort());
    ServerAccess access(server);
    access.proxy = "http://127.0.0.1:" + std::to_string(web.proxyPort());
    auto load = [this, &access] {
        FileList files;
        const ListResult result =
            LoadFileList(access, "proxied", observer, [&files](FileList&& list, bool) { files = std::move(list); });
        return result == ListResult::Loaded && files.size() == 1 ? files[0].fingerprint : std::string();
    };
    ASSERT_EQ(load(), Md5Of(pattern));
    SafeFolder folder;
    ASSERT_EQ(folder.Open(temp.path(), "", false), SafeFolder::OpenResult::Opened);
    Location location;
    ASSERT_TRUE(ParseUrl(web.WebUrl() + "/pattern.bin", location));
    HttpClient client(true, NetworkOptions{access.proxy, nullptr, {}});
    ASSERT_TRUE(DownloadFile(client, location, folder, "p.bin", DownloadChecks{Md5Of(pattern), {}, {}}, nullptr));
    EXPECT_EQ(ReadFileBytes(temp / "p.bin"), pattern);
    const std::string log = web.ProxyLog();
    EXPECT_NE(log.find("GET http://" + server + "/proxied/ "), std::string::npos) << log;
    EXPECT_NE(log.find("GET http://" + server + "/pattern.bin "), std::string::npos) << log;

    // A proxy that does not answer fails the request like a server that does not.
    access.proxy = "http://127.0.0.1:1";
    EXPECT_EQ(load(), "");
    ASSERT_FALSE(observer.Messages().empty());
    EXPECT_EQ(observer.Messages().back().text, LookupText("ERR_SERVER"));
    // Unless no_proxy names the server.
    SetEnvironment("no_proxy", "localhost, 127.0.0.1");
    EXPECT_EQ(load(), Md5Of(pattern));
    SetEnvironment("no_proxy", "");
}

TEST_F(WebFixtureTest, RedirectsAreFollowedForListsFilesAndRangesButNotForEver) {
    SafeFolder folder;
    ASSERT_EQ(folder.Open(temp.path(), "", false), SafeFolder::OpenResult::Opened);
    HttpClient client;
    auto get = [&](const std::string& url, const std::string& name) {
        Location location;
        return ParseUrl(url, location) &&
               DownloadFile(client, location, folder, name, DownloadChecks{Md5Of(pattern), {}, {}}, nullptr);
    };
    // Absolute (302, 301), absolute-path (307) and relative (308) Locations.
    for (const char* path :
         {"/redirect/pattern.bin", "/moved/pattern.bin", "/relative/pattern.bin", "/deep/down/pattern.bin"}) {
        EXPECT_TRUE(get(web.WebUrl() + path, "r.bin")) << path;
        EXPECT_EQ(ReadFileBytes(temp / "r.bin"), pattern) << path;
        RemoveFile(temp / "r.bin");
    }
    // To another port: the scripted server sends the client on to nginx.
    ScriptedServer elsewhere;
    elsewhere.EnqueueReply("HTTP/1.1 302 Found\r\nLocation: " + web.WebUrl() +
                           "/pattern.bin\r\nContent-Length: 0\r\n\r\n");
    EXPECT_TRUE(get(elsewhere.Url("x.bin"), "e.bin"));
    EXPECT_EQ(ReadFileBytes(temp / "e.bin"), pattern);

    // A loop fails the file after the fifth redirect; the old file stays, no temporary one.
    WriteFileBytes(temp / "loop.bin", "old");
    EXPECT_FALSE(get(web.WebUrl() + "/loop", "loop.bin"));
    EXPECT_EQ(ReadFileBytes(temp / "loop.bin"), "old");
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(temp.path())))
        ++entries;
    EXPECT_EQ(entries, 2u);  // e.bin and loop.bin
    // nginx writes a log line after its reply went out: the count may lag a little.
    auto loops = [this] {
        const std::string log = web.AccessLog();
        size_t count = 0;
        for (size_t at = log.find("GET /loop 302"); at != std::string::npos; at = log.find("GET /loop 302", at + 1))
            ++count;
        return count;
    };
    for (int wait = 0; wait < 40 && loops() < 6; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(loops(), 6u) << web.AccessLog();

    // A range keeps its range across a redirect.
    Location location;
    ASSERT_TRUE(ParseUrl(web.WebUrl() + "/redirect/pattern.bin", location));
    struct Collected final : ByteSink {
        bool Append(const char* data, size_t length) override {
            bytes.append(data, length);
            return true;
        }
        std::string bytes;
    } part;
    EXPECT_EQ(client.FetchRange(location, 1000, 2000, part, nullptr), HttpClient::RangeResult::Done);
    EXPECT_EQ(part.bytes, pattern.substr(1000, 2000));

    // A list request follows a redirect too.
    EnsureDirectory(web.WebRoot() + "listed/");
    WriteFileBytes(web.WebRoot() + "listed/index.html", "[data]pattern.bin:" + Md5Of(pattern) + "[/data]");
    FileList files;
    ASSERT_EQ(LoadFileList("127.0.0.1:" + std::to_string(web.webPort()), "redirect/listed", observer,
                           [&files](FileList&& list, bool) { files = std::move(list); }),
              ListResult::Loaded);
    ASSERT_EQ(files.size(), 1u);
    for (int wait = 0; wait < 40 && web.AccessLog().find("GET /listed/ 200") == std::string::npos; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(web.AccessLog().find("GET /listed/ 200"), std::string::npos);
}

TEST_F(WebFixtureTest, ConnectionsSharingALimiterShareItsBudget) {
    // Two downloads of 300000 bytes at once under one limit of 150 KiB/s: together they
    // cannot end before 600000 bytes' worth of it (3.9 s), less the limiter's small burst.
    auto limiter = std::make_shared<RateLimiter>(150 * 1024);
    const auto start = std::chrono::steady_clock::now();
    bool ok[2] = {false, false};
    auto fetch = [&](int index) {
        SafeFolder folder;
        Location location;
        HttpClient client(true, NetworkOptions{"none", limiter, {}});
        ok[index] = folder.Open(temp.path(), "", false) == SafeFolder::OpenResult::Opened &&
                    ParseUrl(web.WebUrl() + "/pattern.bin", location) &&
                    DownloadFile(client, location, folder, "l" + std::to_string(index) + ".bin",
                                 DownloadChecks{Md5Of(pattern), {}, {}}, nullptr);
    };
    std::thread other(fetch, 1);
    fetch(0);
    other.join();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(ok[0] && ok[1]);
    EXPECT_GE(took, std::chrono::milliseconds(3500));
}

TEST_F(WebFixtureTest, FilesComeFromTheMirrorsThatAnswerAndFailingMirrorsAreSetAside) {
    // The server's copy under /mir, the good mirror's under /m/mir; four files.
    EnsureDirectory(web.WebRoot() + "mir/");
    EnsureDirectory(web.WebRoot() + "m/mir/");
    std::vector<std::string> bodies;
    for (int i = 0; i < 4; ++i) {
        bodies.push_back(pattern.substr(static_cast<size_t>(i) * 1000, 50000));
        WriteFileBytes(web.WebRoot() + "mir/f" + std::to_string(i), bodies.back());
        WriteFileBytes(web.WebRoot() + "m/mir/f" + std::to_string(i), bodies.back());
    }
    ScriptedServer failing, wrong;
    failing.EnqueueReply("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
    wrong.EnqueueReply("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nwrong");
    MirrorSet mirrors({"http://127.0.0.1:1", failing.Url(""), wrong.Url(""), web.WebUrl() + "/m"});
    SafeFolder folder;
    ASSERT_EQ(folder.Open(temp.path(), "", false), SafeFolder::OpenResult::Opened);
    HttpClient client;
    const std::string server = "127.0.0.1:" + std::to_string(web.webPort());
    for (int i = 0; i < 4; ++i) {
        const std::string name = "f" + std::to_string(i);
        Location location;
        ASSERT_TRUE(LocateFile(server, "", "mir", name, location));
        EXPECT_TRUE(DownloadFromSources(client, mirrors, location, folder, name,
                                        DownloadChecks{Md5Of(bodies[static_cast<size_t>(i)]), {}, {}}, nullptr))
            << name;
        EXPECT_EQ(ReadFileBytes(temp / name), bodies[static_cast<size_t>(i)]) << name;
    }
    // Each failing mirror cost one request; the good one took its share.
    for (int index = 0; index < 3; ++index)
        EXPECT_EQ(mirrors.Tries(index), 1) << index;
    EXPECT_EQ(failing.Connections(), 1u);
    EXPECT_EQ(wrong.Connections(), 1u);
    EXPECT_GE(mirrors.Tries(3), 2);
    for (int wait = 0; wait < 40 && web.AccessLog().find("GET /m/mir/f") == std::string::npos; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(web.AccessLog().find("GET /m/mir/f"), std::string::npos);
}

TEST_F(WebFixtureTest, AMirrorThatNeverAnswersIsTriedByOneDownloadWhileTheOthersGoOn) {
    // A listener whose queue of connections is full: a connect to it waits like one to a gone host.
    uint16_t port = 0;
    shim::Startup();
    const shim::Socket dead = shim::ListenLoopbackFamily(false, port, 0);
    ASSERT_NE(dead, shim::kInvalid);
    const std::vector<shim::Socket> fillers = shim::FillBacklog(false, port);
    ASSERT_FALSE(fillers.empty());
    EnsureDirectory(web.WebRoot() + "pro/");
    EnsureDirectory(web.WebRoot() + "g/pro/");
    constexpr int kFiles = 12, kDownloads = 4;
    for (int i = 0; i < kFiles; ++i) {
        for (const char* copy : {"pro/f", "g/pro/f"})
            WriteFileBytes(web.WebRoot() + copy + std::to_string(i),
                           pattern.substr(static_cast<size_t>(i) * 100, 20000));
    }
    MirrorSet mirrors({"http://127.0.0.1:" + std::to_string(port), web.WebUrl() + "/g"});
    // Each download on a connection of its own, as a run's are. While the good mirror
    // has not served yet, the others pass it by too, to the server.
    std::atomic<int> right{0};
    auto fetch = [&](int first) {
        SafeFolder folder;
        HttpClient client(true, NetworkOptions{"none", nullptr, {}, 500});
        if (folder.Open(temp.path(), "", false) != SafeFolder::OpenResult::Opened)
            return;
        for (int i = first; i < kFiles; i += kDownloads) {
            const std::string name = "f" + std::to_string(i);
            const std::string body = pattern.substr(static_cast<size_t>(i) * 100, 20000);
            Location location;
            if (LocateFile("127.0.0.1:" + std::to_string(web.webPort()), "", "pro", name, location) &&
                DownloadFromSources(client, mirrors, location, folder, name, DownloadChecks{Md5Of(body), {}, {}},
                                    nullptr) &&
                ReadFileBytes(temp / name) == body)
                ++right;
            else
                ADD_FAILURE() << name;
        }
    };
    std::vector<std::thread> downloads;
    for (int n = 1; n < kDownloads; ++n)
        downloads.emplace_back(fetch, n);
    fetch(0);
    for (std::thread& download : downloads)
        download.join();
    for (shim::Socket filler : fillers)
        shim::Close(filler);
    shim::Close(dead);
    EXPECT_EQ(right.load(), kFiles);
    EXPECT_EQ(mirrors.Tries(0), 1);
    EXPECT_GE(mirrors.Tries(1), kFiles / 2);
}

}  // namespace
}  // namespace zefo::test
