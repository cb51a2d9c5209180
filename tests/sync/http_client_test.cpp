// Downloads over kept-open connections and resumed downloads, against the scripted
// server: what goes over the wire and what ends up on disk.
#include "net/http_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/environment.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "common/test_data.h"
#include "net/tcp_client.h"
#include "sync/http_download.h"
#include "sync/incoming_file.h"
#include "sync/span_sink.h"

namespace zefo::test {
namespace {

std::string Whole(const std::string& body) {
    return HttpResponse("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
}

std::string Rest(const std::string& body, size_t from, size_t claimedFirst) {
    return HttpResponse("HTTP/1.1 206 Partial Content",
                        {"Content-Length: " + std::to_string(body.size() - from),
                         "Content-Range: bytes " + std::to_string(claimedFirst) + "-" +
                             std::to_string(claimedFirst + body.size() - from - 1) + "/" + std::to_string(body.size())},
                        body.substr(from));
}

// A 206 with `length` bytes of `body` from `first`, claimed to be the range from `claimed`.
std::string Part(const std::string& body,
                 size_t first,
                 size_t length,
                 size_t claimed,
                 const std::vector<std::string>& extra = {}) {
    std::vector<std::string> headers = {"Content-Length: " + std::to_string(length),
                                        "Content-Range: bytes " + std::to_string(claimed) + "-" +
                                            std::to_string(claimed + length - 1) + "/" + std::to_string(body.size())};
    headers.insert(headers.end(), extra.begin(), extra.end());
    return HttpResponse("HTTP/1.1 206 Partial Content", headers, body.substr(first, length));
}

// A range's bytes as they arrive.
struct Collected final : ByteSink {
    bool Append(const char* data, size_t length) override {
        bytes.append(data, length);
        return true;
    }
    std::string bytes;
};

class HttpClientTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(NetworkStartup()); }
    static void TearDownTestSuite() { NetworkShutdown(); }
    void SetUp() override { ASSERT_EQ(folder.Open(dir.path(), "", false), SafeFolder::OpenResult::Opened); }

    bool Get(HttpClient& client, const std::string& name, const std::string& body) {
        Location location;
        return ParseUrl(server.Url(name), location) &&
               DownloadFile(client, location, folder, name, DownloadChecks{Md5Of(body), {}, {}}, nullptr);
    }
    std::vector<std::string> Contents() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(dir.path())))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // The Range line of the request on connection `index`, or "" when it asked for all.
    std::string RangeAsked(size_t index) const {
        std::string request = server.Request(index);
        size_t at = request.find("Range: ");
        return at == std::string::npos ? std::string() : request.substr(at, request.find("\r\n", at) - at);
    }

    TempDir dir;
    SafeFolder folder;
    ScriptedServer server;
    const std::string a = Pattern(3000, 1), b = Pattern(5000, 2), c = Pattern(7000, 3);
};

TEST_F(HttpClientTest, DownloadsShareAConnectionUntilTheServerEndsIt) {
    HttpClient client;
    // Two replies on one connection; then the server closes the connection it kept.
    server.Enqueue(Script().AwaitRequest().Send(Whole(a)).AwaitRequest().Send(Whole(b)).Pause(100).Hangup());
    ASSERT_TRUE(Get(client, "a.bin", a));
    ASSERT_TRUE(Get(client, "b.bin", b));
    EXPECT_EQ(server.Connections(), 1u);
    EXPECT_NE(server.Request(0).find("GET /b.bin HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(server.Request(0).find("Connection: keep-alive\r\n"), std::string::npos);
    // The closed connection costs a retry on a fresh one, not the file.
    ASSERT_TRUE(server.WaitForFinished(0, 10000));
    server.EnqueueReply(Whole(c));
    ASSERT_TRUE(Get(client, "c.bin", c));
    EXPECT_EQ(server.Connections(), 2u);
    EXPECT_EQ(ReadFileBytes(dir / "c.bin"), c);

    // A reply that runs to the close ends its connection; so does "Connection: close".
    server.Enqueue(Script().AwaitRequest().Send(HttpResponse("HTTP/1.1 200 OK", {}, a)).Close());
    server.Enqueue(Script()
                       .AwaitRequest()
                       .Send(HttpResponse("HTTP/1.1 200 OK",
                                          {"Content-Length: " + std::to_string(b.size()), "Connection: close"}, b))
                       .Close());
    server.EnqueueReply(Whole(c));
    ASSERT_TRUE(Get(client, "a2.bin", a));
    ASSERT_TRUE(Get(client, "b2.bin", b));
    ASSERT_TRUE(Get(client, "c2.bin", c));
    EXPECT_EQ(server.Connections(), 5u);
    EXPECT_EQ(client.connectionsOpened(), 5);

    // A server that closes after the head or in the body fails that file, not the next.
    server.Enqueue(Script().AwaitRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n").Close());
    server.Enqueue(Script().AwaitRequest().Send(Whole(a).substr(0, 1500)).Close());
    server.EnqueueReply(Whole(c));
    EXPECT_FALSE(Get(client, "h.bin", a));
    EXPECT_FALSE(Get(client, "m.bin", a));
    ASSERT_TRUE(Get(client, "c3.bin", c));
    EXPECT_FALSE(FileExists(dir / "h.bin"));
    EXPECT_FALSE(FileExists(dir / "m.bin"));
    EXPECT_EQ(server.Connections(), 8u);
}

TEST_F(HttpClientTest, ABrokenDownloadIsTakenUpWhereItStopped) {
    const std::string big = Pattern(100000, 9);
    WriteFileBytes(dir / "big.bin", "old");
    server.Enqueue(Script().AwaitRequest().Send(Whole(big).substr(0, 60000)).Close());
    HttpClient client;
    EXPECT_FALSE(Get(client, "big.bin", big));
    EXPECT_EQ(ReadFileBytes(dir / "big.bin"), "old");
    const std::string kept = ReadFileBytes(dir / "big.bin.zefotmp");
    ASSERT_GT(kept.size(), 0u);
    EXPECT_EQ(kept, big.substr(0, kept.size()));

    // The next attempt asks for the rest and the server sends only that.
    server.EnqueueReply(Rest(big, kept.size(), kept.size()));
    ASSERT_TRUE(Get(client, "big.bin", big));
    EXPECT_EQ(RangeAsked(1), "Range: bytes=" + std::to_string(kept.size()) + "-");
    EXPECT_EQ(ReadFileBytes(dir / "big.bin"), big);
    EXPECT_EQ(Contents(), std::vector<std::string>{"big.bin"});
}

TEST_F(HttpClientTest, WhatTheServerSendsInsteadOfTheRestStartsTheFileOver) {
    const std::string big = Pattern(50000, 4);
    const std::string older = Pattern(20000, 5);  // a kept start of another version
    HttpClient client;
    struct Case {
        const char* what;
        std::string kept;
        std::vector<std::string> replies;  // in the order the attempts get them
        std::vector<bool> ranged;          // whether each attempt asked for a range
    };
    const std::vector<Case> cases = {
        {"a whole reply instead of the rest", big.substr(0, 10000), {Whole(big)}, {true}},
        {"a range that is not the one asked for",
         big.substr(0, 10000),
         {Rest(big, 10000, 0), Whole(big)},
         {true, false}},
        {"a rest that fails the fingerprint", older, {Rest(big, 20000, 20000), Whole(big)}, {true, false}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const size_t first = server.Connections();
        WriteFileBytes(dir / "f.bin.zefotmp", test.kept);
        for (const std::string& reply : test.replies)
            server.EnqueueReply(reply);
        ASSERT_TRUE(Get(client, "f.bin", big));
        EXPECT_EQ(ReadFileBytes(dir / "f.bin"), big);
        EXPECT_EQ(Contents(), std::vector<std::string>{"f.bin"});
        ASSERT_EQ(server.Connections() - first, test.replies.size());
        for (size_t i = 0; i < test.ranged.size(); ++i)
            EXPECT_EQ(!RangeAsked(first + i).empty(), test.ranged[i]) << i;
    }
}

TEST_F(HttpClientTest, ATemporaryFileAnotherDownloadHoldsIsLeftToIt) {
    NativeFile held;
    bool existed = true;
    ASSERT_EQ(folder.Hold("x.bin.zefotmp", held, existed), SafeFolder::HoldResult::Held);
    EXPECT_FALSE(existed);
    ASSERT_TRUE(WriteAllToFile(held, "theirs"));
    HttpClient client;
    EXPECT_FALSE(Get(client, "x.bin", a));
    EXPECT_EQ(server.Connections(), 0u);
    held.Reset();
    EXPECT_EQ(ReadFileBytes(dir / "x.bin.zefotmp"), "theirs");
}

// Whoever can make files in the game folder may put a temporary file of their own
// under a download's name: a hard link to a file elsewhere, or a file of another
// user. It is never taken up nor written; its name goes and the download starts in a
// new file, whether the server sends the genuine file or a forged one.
TEST_F(HttpClientTest, APlantedTemporaryFileIsRemovedNeverWrittenThrough) {
    TempDir outside;
    const std::string big = Pattern(50000, 6);
    const std::string start = big.substr(0, 10000);  // a genuine start, asking for a resume
    HttpClient client;
    for (const bool genuine : {true, false}) {
        SCOPED_TRACE(genuine ? "genuine body" : "forged body");
        WriteFileBytes(outside / "victim.bin", start);
        ASSERT_TRUE(MakeHardLink(outside / "victim.bin", dir / "f.bin.zefotmp"));
        ASSERT_EQ(ReadFileBytes(dir / "f.bin.zefotmp").size(), start.size());
        const size_t first = server.Connections();
        server.EnqueueReply(Whole(genuine ? big : Pattern(big.size(), 7)));
        EXPECT_EQ(Get(client, "f.bin", big), genuine);
        EXPECT_EQ(RangeAsked(first), "");
        EXPECT_EQ(Md5Of(ReadFileBytes(outside / "victim.bin")), Md5Of(start));
        EXPECT_EQ(Contents(), std::vector<std::string>{"f.bin"});
    }
    EXPECT_EQ(Md5Of(ReadFileBytes(dir / "f.bin")), Md5Of(big));

    // Another user's file, alone under its name (where the test can make one).
    WriteFileBytes(dir / "g.bin.zefotmp", start);
    if (GiveToAnotherUser(dir / "g.bin.zefotmp")) {
        const size_t first = server.Connections();
        server.EnqueueReply(Whole(big));
        EXPECT_TRUE(Get(client, "g.bin", big));
        EXPECT_EQ(RangeAsked(first), "");
        EXPECT_EQ(Md5Of(ReadFileBytes(dir / "g.bin")), Md5Of(big));
        EXPECT_EQ(Contents(), (std::vector<std::string>{"f.bin", "g.bin"}));
    }
}

// A download that starts over makes a new temporary file: a name linked to the kept
// one after it was taken up keeps the bytes it had.
TEST_F(HttpClientTest, StartingOverMakesANewTemporaryFile) {
    TempDir outside;
    const std::string big = Pattern(50000, 8);
    WriteFileBytes(dir / "f.bin.zefotmp", big.substr(0, 10000));
    IncomingFile incoming;
    ASSERT_EQ(incoming.Open(folder, "f.bin", DownloadChecks{Md5Of(big), {}, {}}), IncomingFile::OpenResult::Ready);
    EXPECT_EQ(incoming.size(), 10000);
    ASSERT_TRUE(MakeHardLink(dir / "f.bin.zefotmp", outside / "linked.bin"));
    ASSERT_TRUE(incoming.Restart());
    EXPECT_EQ(incoming.size(), 0);
    ASSERT_TRUE(incoming.Append(big.data(), big.size()));
    ASSERT_TRUE(incoming.Commit());
    EXPECT_EQ(Md5Of(ReadFileBytes(dir / "f.bin")), Md5Of(big));
    EXPECT_EQ(Md5Of(ReadFileBytes(outside / "linked.bin")), Md5Of(big.substr(0, 10000)));
}

// Byte ranges for updates that fetch only what changed: exactly the range asked for
// goes to the sink; a server that sends the whole file instead says so, and the
// connection serves the next range.
TEST_F(HttpClientTest, ARangeIsFetchedIntoItsSinkOrReportedAsIgnored) {
    const std::string big = Pattern(50000, 10);
    auto part = [&big](size_t first, size_t length, size_t claimed, const std::vector<std::string>& extra = {}) {
        return Part(big, first, length, claimed, extra);
    };
    Location location;
    ASSERT_TRUE(ParseUrl(server.Url("f.bin"), location));
    HttpClient client;
    // Three replies on one kept connection: a range, the whole file, a missing file.
    server.Enqueue(Script()
                       .AwaitRequest()
                       .Send(part(1000, 4000, 1000))
                       .AwaitRequest()
                       .Send(Whole(big))
                       .AwaitRequest()
                       .Send(HttpResponse("HTTP/1.1 404 Not Found", {"Content-Length: 0"}, ""))
                       .AwaitRequest()
                       .Send(part(0, 10, 0))
                       .Pause(100)
                       .Hangup());
    Collected first, whole, missing, start;
    EXPECT_EQ(client.FetchRange(location, 1000, 4000, first, nullptr), HttpClient::RangeResult::Done);
    EXPECT_EQ(first.bytes, big.substr(1000, 4000));
    EXPECT_NE(server.Request(0).find("Range: bytes=1000-4999\r\n"), std::string::npos);
    EXPECT_EQ(client.FetchRange(location, 0, 100, whole, nullptr), HttpClient::RangeResult::Ignored);
    EXPECT_EQ(whole.bytes, "");
    EXPECT_EQ(client.FetchRange(location, 0, 100, missing, nullptr), HttpClient::RangeResult::Failed);
    EXPECT_EQ(client.FetchRange(location, 0, 10, start, nullptr), HttpClient::RangeResult::Done);
    EXPECT_EQ(start.bytes, big.substr(0, 10));
    EXPECT_EQ(server.Connections(), 1u);

    // The server closed the kept connection: the next range goes over a fresh one.
    ASSERT_TRUE(server.WaitForFinished(0, 10000));
    server.EnqueueReply(part(20000, 300, 20000));
    Collected again;
    EXPECT_EQ(client.FetchRange(location, 20000, 300, again, nullptr), HttpClient::RangeResult::Done);
    EXPECT_EQ(again.bytes, big.substr(20000, 300));
    EXPECT_EQ(server.Connections(), 2u);

    // Another range than the one asked for, a body shorter than the range, and a
    // length that disagrees with the range all fail.
    const std::vector<std::string> wrong = {
        part(2000, 100, 2001),
        HttpResponse("HTTP/1.1 206 Partial Content", {"Content-Range: bytes 2000-2099/50000"}, big.substr(2000, 60)),
        HttpResponse("HTTP/1.1 206 Partial Content", {"Content-Length: 99", "Content-Range: bytes 2000-2099/50000"},
                     big.substr(2000, 99)),
    };
    for (const std::string& reply : wrong) {
        server.Enqueue(Script().AwaitRequest().Send(reply).Close());
        Collected bad;
        EXPECT_EQ(client.FetchRange(location, 2000, 100, bad, nullptr), HttpClient::RangeResult::Failed);
    }
    Collected none;
    EXPECT_EQ(client.FetchRange(location, 0, 0, none, nullptr), HttpClient::RangeResult::Failed);
    EXPECT_EQ(server.Connections(), 5u);
}

// Ranges of one file fetched out of order, each into the file at its own offset.
TEST_F(HttpClientTest, RangesFillOneFileAtTheirOffsets) {
    const std::string big = Pattern(30000, 11);
    auto part = [&big](size_t first, size_t length) {
        return HttpResponse("HTTP/1.1 206 Partial Content",
                            {"Content-Length: " + std::to_string(length),
                             "Content-Range: bytes " + std::to_string(first) + "-" +
                                 std::to_string(first + length - 1) + "/" + std::to_string(big.size())},
                            big.substr(first, length));
    };
    server.Enqueue(Script().AwaitRequest().Send(part(20000, 10000)).AwaitRequest().Send(part(0, 20000)).Close());
    NativeFile file;
    bool existed = true;
    ASSERT_EQ(folder.Hold("f.bin.zefotmp", file, existed), SafeFolder::HoldResult::Held);
    Location location;
    ASSERT_TRUE(ParseUrl(server.Url("f.bin"), location));
    HttpClient client;
    SpanSink tail(file, 20000, 10000), head(file, 0, 20000);
    EXPECT_EQ(client.FetchRange(location, 20000, 10000, tail, nullptr), HttpClient::RangeResult::Done);
    EXPECT_EQ(client.FetchRange(location, 0, 20000, head, nullptr), HttpClient::RangeResult::Done);
    EXPECT_EQ(head.written() + tail.written(), 30000);
    file.Reset();
    EXPECT_EQ(ReadFileBytes(dir / "f.bin.zefotmp"), big);

    // A sink takes nothing past its span's end.
    SpanSink small(file, 0, 4);
    EXPECT_FALSE(small.Append("12345", 5));
    EXPECT_EQ(small.written(), 0);
}

// Requests sent ahead on a kept connection are answered one after another over it; a
// server that closes it or answers with the whole file has the rest asked again anew.
TEST_F(HttpClientTest, RangesSentAheadShareOneConnectionOrAreAskedAgain) {
    const std::string big = Pattern(40000, 12);
    auto part = [&big](size_t first, size_t length) { return Part(big, first, length, first); };
    Location location;
    ASSERT_TRUE(ParseUrl(server.Url("f.bin"), location));
    HttpClient client;
    const std::vector<std::pair<size_t, size_t>> ranges = {{0, 300},     {1000, 500},  {5000, 20},  {9000, 700},
                                                           {12000, 400}, {20000, 900}, {30000, 50}, {39000, 1000}};
    auto range = [&](size_t i, bool answered) { return answered ? part(ranges[i].first, ranges[i].second) : ""; };
    // The first range opens the connection. The server answers the next three only once
    // it holds all of their requests, and two of its replies come in one write, the
    // third in pieces. Then it closes after the first of two more.
    server.Enqueue(Script()
                       .AwaitRequest()
                       .Send(range(0, true))
                       .AwaitRequest()
                       .AwaitRequest()
                       .AwaitRequest()
                       .Send(range(1, true) + range(2, true))
                       .SendInPieces(range(3, true), 37, 1)
                       .AwaitRequest()
                       .AwaitRequest()
                       .Send(range(4, true))
                       .Close());
    // The rest asked again, then a whole file for a range sent ahead.
    server.Enqueue(Script().AwaitRequest().Send(range(5, true)).AwaitRequest().AwaitRequest().Send(Whole(big)).Close());
    server.EnqueueReply(range(7, true));
    std::vector<Collected> got(ranges.size());
    auto fetch = [&](size_t i) {
        return client.FetchRange(location, ranges[i].first, ranges[i].second, got[i], nullptr);
    };
    auto ahead = [&](size_t i) { return client.SendAhead(location, ranges[i].first, ranges[i].second); };

    EXPECT_FALSE(ahead(0));  // no connection yet
    EXPECT_EQ(fetch(0), HttpClient::RangeResult::Done);
    EXPECT_TRUE(ahead(1) && ahead(2) && ahead(3));
    EXPECT_EQ(client.ahead(), 3u);
    for (size_t i = 1; i <= 3; ++i)
        EXPECT_EQ(fetch(i), HttpClient::RangeResult::Done);
    EXPECT_EQ(client.connectionsOpened(), 1);
    EXPECT_TRUE(ahead(4) && ahead(5));
    EXPECT_EQ(fetch(4), HttpClient::RangeResult::Done);
    EXPECT_EQ(fetch(5), HttpClient::RangeResult::Done);
    EXPECT_EQ(client.connectionsOpened(), 2);
    EXPECT_TRUE(ahead(6) && ahead(7));
    EXPECT_EQ(fetch(6), HttpClient::RangeResult::Ignored);
    EXPECT_EQ(client.ahead(), 0u);
    EXPECT_EQ(fetch(7), HttpClient::RangeResult::Done);
    EXPECT_EQ(client.connectionsOpened(), 3);
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (i != 6) {
            EXPECT_EQ(got[i].bytes, big.substr(ranges[i].first, ranges[i].second)) << i;
        }
    }
    EXPECT_EQ(got[6].bytes, "");
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count(server.Request(0), "GET /f.bin "), 6u);
    EXPECT_EQ(count(server.Request(1), "GET /f.bin "), 3u);
    EXPECT_NE(server.Request(1).find("Range: bytes=20000-20899\r\n"), std::string::npos);
    EXPECT_NE(server.Request(2).find("Range: bytes=39000-39999\r\n"), std::string::npos);

    // Anything asked out of turn goes over a fresh connection.
    server.Enqueue(Script().AwaitRequest().Send(range(0, true)).AwaitRequest().Pause(100).Hangup());
    server.EnqueueReply(range(2, true));
    Collected first, other;
    EXPECT_EQ(client.FetchRange(location, 0, 300, first, nullptr), HttpClient::RangeResult::Done);
    EXPECT_TRUE(ahead(1));
    EXPECT_EQ(client.FetchRange(location, 5000, 20, other, nullptr), HttpClient::RangeResult::Done);
    EXPECT_EQ(other.bytes, big.substr(5000, 20));
    EXPECT_EQ(client.connectionsOpened(), 5);
}

// The scripted server stands in for a proxy: what it receives is what a proxy gets.
TEST_F(HttpClientTest, RequestsThroughAProxyNameTheirUrlOrOpenATunnelWithTheProxysCredentials) {
    const std::string body = "through the proxy";
    server.EnqueueReply(Whole(body));
    const std::string proxy = "http://user:p%40ss@" + server.Host();
    HttpClient client(true, NetworkOptions{proxy, nullptr, {}});
    Location location;
    ASSERT_TRUE(ParseUrl("http://files.invalid:8080/a%20b.bin", location));
    ASSERT_TRUE(DownloadFile(client, location, folder, "a.bin", DownloadChecks{Md5Of(body), {}, {}}, nullptr));
    EXPECT_EQ(ReadFileBytes(dir / "a.bin"), body);
    EXPECT_EQ(server.Request(0),
              "GET http://files.invalid:8080/a%20b.bin HTTP/1.1\r\nAccept: */*\r\nHost: files.invalid:8080\r\n"
              "Proxy-Authorization: Basic dXNlcjpwQHNz\r\nConnection: keep-alive\r\n\r\n");

    // TLS goes through a tunnel: the proxy is asked for it and its refusal fails the file.
    ScriptedServer refusing;
    refusing.EnqueueReply("HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n");
    HttpClient tunnelling(true, NetworkOptions{"http://user:p%40ss@" + refusing.Host(), nullptr, {}});
    ASSERT_TRUE(ParseUrl("https://[2001:db8::7]/f.bin", location));
    EXPECT_FALSE(DownloadFile(tunnelling, location, folder, "f.bin", DownloadChecks{Md5Of(body), {}, {}}, nullptr));
    ASSERT_TRUE(refusing.WaitForFinished(0, 10000));
    EXPECT_EQ(refusing.Request(0),
              "CONNECT [2001:db8::7]:443 HTTP/1.1\r\nHost: [2001:db8::7]:443\r\n"
              "Proxy-Authorization: Basic dXNlcjpwQHNz\r\n\r\n");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(dir / "f.bin")));

    // "none" and a proxy that is not there.
    ScriptedServer direct;
    direct.EnqueueReply(Whole(body));
    HttpClient none(true, NetworkOptions{"None", nullptr, {}});
    ASSERT_TRUE(ParseUrl(direct.Url("c.bin"), location));
    EXPECT_TRUE(DownloadFile(none, location, folder, "c.bin", DownloadChecks{Md5Of(body), {}, {}}, nullptr));
    EXPECT_EQ(direct.Request(0).substr(0, 11), "GET /c.bin ");
    HttpClient dead(true, NetworkOptions{"http://127.0.0.1:1", nullptr, {}});
    EXPECT_FALSE(DownloadFile(dead, location, folder, "d.bin", DownloadChecks{Md5Of(body), {}, {}}, nullptr));
    EXPECT_EQ(direct.Connections(), 1u);
}

}  // namespace
}  // namespace zefo::test
