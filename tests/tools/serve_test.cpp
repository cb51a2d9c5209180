#include "serve/serve.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "common/temp_dir.h"
#include "common/test_data.h"
#include "net/server_request.h"
#include "net/tcp_client.h"
#include "publish/publish.h"
#include "sync/http_download.h"

extern char** environ;

namespace fs = std::filesystem;

namespace zefo::tools {
namespace {

using test::ReadFileBytes;
using test::TempDir;

void Write(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    test::WriteFileBytes(path, bytes);
}

TEST(Serve, RequestLinesTargetsAndDecoding) {
    RequestLine line;
    ASSERT_TRUE(ParseRequestLine("GET /my game/ HTTP/1.0", line));
    EXPECT_EQ(line.method, "GET");
    EXPECT_EQ(line.target, "/my game/");
    EXPECT_EQ(line.version, "HTTP/1.0");
    for (const char* bad : {"", "GET", "GET /", " GET / HTTP/1.1", "GET / FTP/1.0", "get / HTTP/1.1"})
        EXPECT_FALSE(ParseRequestLine(bad, line)) << bad;

    std::string decoded;
    ASSERT_TRUE(PercentDecode("/a%20b%2Fc%2e", decoded));
    EXPECT_EQ(decoded, "/a b/c.");
    for (const char* bad : {"%", "%2", "%zz", "a%0", "%00"})
        EXPECT_FALSE(PercentDecode(bad, decoded)) << bad;

    TempDir temp;
    Write(temp / "secret.txt", "outside");
    Write(temp / "www/index.html", "[data]G:game[/data]");
    Write(temp / "www/game/index.html", "[data][/data]");
    Write(temp / "www/game/a b.txt", "ab");
    fs::create_directories(temp / "www/empty");
    fs::create_symlink(temp / "secret.txt", temp / "www/game/link");
    const std::string root = fs::canonical(temp / "www").string();

    Resolved r = ResolveTarget(root, "/game/");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.file, root + "/game/index.html");
    EXPECT_EQ(ResolveTarget(root, "/").file, root + "/index.html");
    EXPECT_EQ(ResolveTarget(root, "/game").file, root + "/game/index.html");
    EXPECT_EQ(ResolveTarget(root, "/game/a%20b.txt").file, root + "/game/a b.txt");
    EXPECT_EQ(ResolveTarget(root, "/game/a b.txt?x=1#top").file, root + "/game/a b.txt");
    EXPECT_EQ(ResolveTarget(root, "//game/./a%20b.txt").status, 200);
    for (const char* escape : {"/../secret.txt", "/game/../../secret.txt", "/%2e%2e/secret.txt", "/game/%2E%2E/x"})
        EXPECT_EQ(ResolveTarget(root, escape).status, 403) << escape;
    EXPECT_EQ(ResolveTarget(root, "/game/link").status, 403) << "a link out of the root";
    for (const char* bad : {"", "game/", "http://host/", "/a%zz", "/a%5Cb", "/a%00"})
        EXPECT_EQ(ResolveTarget(root, bad).status, 400) << bad;
    r = ResolveTarget(root, "/nogame/");
    EXPECT_EQ(r.status, 404);
    EXPECT_TRUE(r.folderRequest);
    EXPECT_EQ(ResolveTarget(root, "/empty/").status, 404);
    EXPECT_FALSE(ResolveTarget(root, "/game/missing.txt").folderRequest);
}

TEST(Serve, RangeHeadersAndTheirAnswers) {
    struct Case {
        const char* value;
        uint64_t size;
        int status;
        uint64_t first;
        uint64_t length;
    };
    for (const Case& c : std::vector<Case>{
             {"bytes=0-9", 100, 206, 0, 10},
             {"bytes=90-", 100, 206, 90, 10},
             {"bytes=-10", 100, 206, 90, 10},
             {"bytes=-200", 100, 206, 0, 100},
             {"bytes=95-1000", 100, 206, 95, 5},
             {"Bytes= 99-99", 100, 206, 99, 1},
             {"bytes=0-99999999999999999999999", 100, 206, 0, 100},
             {"bytes=100-", 100, 416, 0, 0},
             {"bytes=100-200", 100, 416, 0, 0},
             {"bytes=99999999999999999999999-", 100, 416, 0, 0},
             {"bytes=-0", 100, 416, 0, 0},
             {"bytes=0-", 0, 416, 0, 0},
             {"bytes=-5", 0, 416, 0, 0},
             // Anything else is answered with the whole file.
             {"bytes=0-1,5-6", 100, 200, 0, 0},
             {"bytes=0-1,", 100, 200, 0, 0},
             {"bytes=5-4", 100, 200, 0, 0},
             {"bytes=", 100, 200, 0, 0},
             {"bytes=-", 100, 200, 0, 0},
             {"bytes=1-2x", 100, 200, 0, 0},
             {"bytes=+1-2", 100, 200, 0, 0},
             {"bytes 0-1", 100, 200, 0, 0},
             {"items=0-1", 100, 200, 0, 0},
         }) {
        const RangeAnswer answer = AnswerRange(c.value, c.size);
        EXPECT_EQ(answer.status, c.status) << c.value;
        if (c.status == 206) {
            EXPECT_EQ(answer.first, c.first) << c.value;
            EXPECT_EQ(answer.length, c.length) << c.value;
        }
    }
    const std::string head =
        "GET /range: HTTP/1.1\r\nHost: x\r\nrange: bytes=1-2\r\nX-Range: no\r\nRANGE:\t bytes=3-4 \r\n\r\nRange: body";
    EXPECT_EQ(HeaderValues(head, "Range"), (std::vector<std::string>{"bytes=1-2", "bytes=3-4"}));
    EXPECT_EQ(HeaderValues("GET / HTTP/1.0\nHost: x\n\n", "host"), std::vector<std::string>{"x"});
    EXPECT_EQ(HeaderValues("GET / HTTP/1.0\r\n\r\n", "Host"), std::vector<std::string>{});
}

// zefo_serve as a child process on a free port, stopped at the end of the test.
class ServeProcess {
  public:
    explicit ServeProcess(const std::string& root, const std::string& timeout = "10") {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        std::string program = ZEFO_SERVE_PROGRAM;
        std::vector<std::string> args = {program, "--root", root, "--port", "0", "--timeout", timeout};
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        output_ = pipeFds[0];
        // The first line names the port.
        std::string first = ReadUntil("\n", std::chrono::seconds(10));
        size_t colon = first.rfind(':');
        if (colon != std::string::npos)
            port_ = std::atoi(first.c_str() + colon + 1);
    }
    ~ServeProcess() {
        Stop();
        if (output_ >= 0)
            ::close(output_);
    }
    int port() const { return port_; }

    // Stops the server and returns everything it printed.
    std::string Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        ReadUntil("", std::chrono::seconds(5));
        return text_;
    }

  private:
    std::string ReadUntil(const std::string& marker, std::chrono::seconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (output_ >= 0 && (marker.empty() || text_.find(marker) == std::string::npos)) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd wait{output_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0)
                break;
            char block[512];
            ssize_t n = ::read(output_, block, sizeof block);
            if (n <= 0)
                break;
            text_.append(block, static_cast<size_t>(n));
        }
        return text_;
    }

    pid_t pid_ = -1;
    int output_ = -1;
    int port_ = 0;
    std::string text_;
};

// A connected socket to 127.0.0.1:port, or -1.
int ConnectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends `request` to 127.0.0.1:port and returns everything until the server closes (bounded wait).
std::string Exchange(int port, const std::string& request) {
    int fd = ConnectLoopback(port);
    std::string reply;
    if (fd >= 0 && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd wait{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) <= 0)
                break;
            char block[4096];
            ssize_t n = ::recv(fd, block, sizeof block, 0);
            if (n <= 0)
                break;
            reply.append(block, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return reply;
}

std::string Body(const std::string& reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

std::string Get(int port, const std::string& target, const char* version) {
    return Exchange(port, "GET " + target + " " + version + "\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n");
}

TEST(Serve, AnswersOverLoopback) {
    TempDir temp;
    std::string binary;
    for (int i = 0; i < 300; ++i)
        binary += static_cast<char>(i % 256);
    Write(temp / "secret.txt", "outside");
    Write(temp / "source/game/game.txt", "Game");
    Write(temp / "source/game/maps/map 1.bin", binary);
    Write(temp / "source/my game/game.txt", "My Game");
    Write(temp / "source/my game/readme.txt", "abc");
    PublishResult published = Publish({temp / "source", temp / "www", false, false, {}});
    ASSERT_TRUE(published.ok());
    EXPECT_FALSE(published.warnings.empty()) << "a folder name with a blank is worth a warning";

    ServeProcess server(temp / "www");
    ASSERT_GT(server.port(), 0) << server.Stop();

    std::string reply = Get(server.port(), "/", "HTTP/1.0");
    EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0) << reply;
    EXPECT_EQ(Body(reply), "[data]Game:game|My Game:my game[/data]");

    const std::string list = ReadFileBytes(temp / "www/game/index.html");
    reply = Get(server.port(), "/game/", "HTTP/1.0");
    EXPECT_NE(reply.find("\r\nContent-Length: " + std::to_string(list.size()) + "\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos);
    EXPECT_EQ(Body(reply), list);

    // Downloads come as HTTP/1.1 with blanks encoded; the list request carries them as they are.
    reply = Get(server.port(), "/game/maps/map%201.bin", "HTTP/1.1");
    EXPECT_NE(reply.find("Content-Length: 300\r\n"), std::string::npos);
    EXPECT_EQ(Body(reply), binary);
    EXPECT_EQ(Body(Get(server.port(), "/my%20game/readme.txt", "HTTP/1.1")), "abc");
    EXPECT_EQ(Body(Get(server.port(), "/my game/", "HTTP/1.0")), ReadFileBytes(temp / "www/my game/index.html"));

    reply = Get(server.port(), "/../secret.txt", "HTTP/1.1");
    EXPECT_EQ(reply.compare(0, 12, "HTTP/1.1 403"), 0) << reply;
    EXPECT_EQ(reply.find("outside"), std::string::npos);
    reply = Get(server.port(), "/game/%2e%2e/%2e%2e/secret.txt", "HTTP/1.1");
    EXPECT_EQ(reply.compare(0, 12, "HTTP/1.1 403"), 0) << reply;
    EXPECT_EQ(Get(server.port(), "/game/nothing.txt", "HTTP/1.1").compare(0, 12, "HTTP/1.1 404"), 0);
    reply = Get(server.port(), "/nogame/", "HTTP/1.0");
    EXPECT_EQ(reply.compare(0, 12, "HTTP/1.1 404"), 0);
    EXPECT_EQ(Body(reply), "[data]error:ERR_GAME[/data]");

    reply = Exchange(server.port(), "HEAD /game/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0);
    EXPECT_EQ(Body(reply), "");
    EXPECT_EQ(Exchange(server.port(), "POST /game/ HTTP/1.1\r\n\r\n").compare(0, 12, "HTTP/1.1 405"), 0);
    EXPECT_EQ(Exchange(server.port(), "GET /game/ HTTP/2.0\r\n\r\n").compare(0, 12, "HTTP/1.1 505"), 0);
    EXPECT_EQ(Exchange(server.port(), "nonsense\r\n\r\n").compare(0, 12, "HTTP/1.1 400"), 0);
    std::string huge = "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n";
    EXPECT_EQ(Exchange(server.port(), huge).compare(0, 12, "HTTP/1.1 431"), 0);

    std::string log = server.Stop();
    EXPECT_NE(log.find("127.0.0.1 \"GET /game/ HTTP/1.0\" 200 " + std::to_string(list.size()) + "\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\"GET /../secret.txt HTTP/1.1\" 403"), std::string::npos) << log;
}

TEST(Serve, SlowAndSilentClientsAreCutOff) {
    TempDir temp;
    Write(temp / "www/index.html", "[data][/data]");
    ServeProcess server(temp / "www", "1");
    ASSERT_GT(server.port(), 0) << server.Stop();
    auto start = std::chrono::steady_clock::now();
    std::string reply = Exchange(server.port(), "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n");
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reply.compare(0, 12, "HTTP/1.1 408"), 0) << reply;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(5));
    // A connection that sends nothing does not hold up the others and is closed without a reply.
    int silent = ConnectLoopback(server.port());
    ASSERT_GE(silent, 0);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(Body(Get(server.port(), "/", "HTTP/1.0")), "[data][/data]");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    pollfd wait{silent, POLLIN, 0};
    ASSERT_EQ(::poll(&wait, 1, 5000), 1);
    char byte;
    EXPECT_EQ(::recv(silent, &byte, 1, 0), 0);
    ::close(silent);
}

// A client that fetches only part of a file: a published game's index first, then a
// range of the file.
TEST(Serve, RangesOverLoopback) {
    TempDir temp;
    const std::string big = test::Pattern(3 << 20, 7);
    Write(temp / "secret.txt", "outside");
    Write(temp / "source/g/big.bin", big);
    ASSERT_TRUE(Publish({temp / "source", temp / "www", false, false, {}}).ok());
    const std::string md5 = test::Md5Of(big);
    ServeProcess server(temp / "www");
    ASSERT_GT(server.port(), 0) << server.Stop();
    auto get = [&](const std::string& target, const std::string& headers) {
        return Exchange(server.port(), "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n");
    };

    std::string reply = get("/g/.zefo/indexes", "");
    EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0) << reply;
    EXPECT_EQ(Body(reply), md5 + " 3145728\n");
    EXPECT_EQ(Body(get("/g/.zefo/" + md5 + ".zci", "")), ReadFileBytes(temp / ("www/g/.zefo/" + md5 + ".zci")));
    EXPECT_NE(reply.find("\r\nAccept-Ranges: bytes\r\n"), std::string::npos);

    reply = get("/g/big.bin", "Range: bytes=1000000-1999999\r\n");
    EXPECT_EQ(reply.compare(0, 28, "HTTP/1.1 206 Partial Content"), 0) << reply.substr(0, 200);
    EXPECT_NE(reply.find("\r\nContent-Range: bytes 1000000-1999999/3145728\r\n"), std::string::npos);
    EXPECT_NE(reply.find("\r\nContent-Length: 1000000\r\n"), std::string::npos);
    EXPECT_TRUE(Body(reply) == big.substr(1000000, 1000000));
    reply = get("/g/big.bin", "Range: bytes=-5\r\n");
    EXPECT_NE(reply.find("\r\nContent-Range: bytes 3145723-3145727/3145728\r\n"), std::string::npos);
    EXPECT_EQ(Body(reply), big.substr(big.size() - 5));
    reply = get("/g/big.bin", "Range: bytes=3145720-\r\n");
    EXPECT_NE(reply.find("\r\nContent-Range: bytes 3145720-3145727/3145728\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("\r\nContent-Length: 8\r\n"), std::string::npos) << reply;
    EXPECT_EQ(Body(reply), big.substr(3145720));

    reply = get("/g/big.bin", "Range: bytes=3145728-\r\n");
    EXPECT_EQ(reply.compare(0, 12, "HTTP/1.1 416"), 0) << reply;
    EXPECT_NE(reply.find("\r\nContent-Range: bytes */3145728\r\n"), std::string::npos);
    EXPECT_EQ(reply.find(big.substr(0, 64)), std::string::npos);
    for (const char* whole : {"Range: bytes=0-1,10-11\r\n", "Range: bytes=0-1\r\nRange: bytes=2-3\r\n"}) {
        reply = get("/g/big.bin", whole);
        EXPECT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0) << whole;
        EXPECT_TRUE(Body(reply) == big) << whole;
    }
    reply = Exchange(server.port(), "HEAD /g/big.bin HTTP/1.1\r\nRange: bytes=10-19\r\n\r\n");
    EXPECT_EQ(reply.compare(0, 12, "HTTP/1.1 206"), 0) << reply;
    EXPECT_NE(reply.find("\r\nContent-Length: 10\r\n"), std::string::npos);
    EXPECT_EQ(Body(reply), "");
    // Requests in one write: the first is answered and the connection ends at once, the
    // others left for the client to ask again.
    const auto start = std::chrono::steady_clock::now();
    reply = Exchange(server.port(),
                     "GET /g/big.bin HTTP/1.1\r\nRange: bytes=0-9\r\n\r\n"
                     "GET /g/big.bin HTTP/1.1\r\nRange: bytes=10-19\r\n\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos) << reply;
    EXPECT_EQ(Body(reply), big.substr(0, 10));
    // The index folder leads nowhere else.
    for (const char* escape : {"/g/.zefo/../../../secret.txt", "/g/.zefo/%2e%2e/%2E%2E/../secret.txt"})
        EXPECT_EQ(get(escape, "Range: bytes=0-3\r\n").compare(0, 12, "HTTP/1.1 403"), 0) << escape;

    const std::string log = server.Stop();
    EXPECT_NE(log.find("\"GET /g/big.bin HTTP/1.1\" 206 1000000\n"), std::string::npos) << log;
}

// The client's own list request and download against a published root: every listed
// fingerprint must match what the server sends.
TEST(Serve, TheClientInstallsAPublishedGame) {
    TempDir temp;
    std::string binary(5000, '\0');
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>((i * 31) % 251);
    Write(temp / "source/my game/game.txt", "My Game");
    Write(temp / "source/my game/maps/map 1.bin", binary);
    Write(temp / "source/my game/readme.txt", "abc");
    Write(temp / "source/my game/Update.exe", "MZ not really");
    ASSERT_TRUE(Publish({temp / "source", temp / "www", false, false, {}}).ok());
    ServeProcess server(temp / "www");
    ASSERT_GT(server.port(), 0) << server.Stop();
    SilentObserver observer;
    ASSERT_TRUE(NetworkStartup());
    const std::string host = "127.0.0.1:" + std::to_string(server.port());

    std::string games;
    EXPECT_EQ(RequestResult::Done,
              ServerRequest(host, "/", observer, [&](const std::string& block) { games = block; }));
    EXPECT_EQ(games, "My Game:my game");
    std::string files;
    EXPECT_EQ(RequestResult::Done,
              ServerRequest(host, "/my game/", observer, [&](const std::string& block) { files = block; }));
    EXPECT_EQ("[data]" + files + "[/data]", ReadFileBytes(temp / "www/my game/index.html"));

    int downloaded = 0;
    size_t start = 0;
    while (start < files.size()) {
        size_t end = std::min(files.find('|', start), files.size());
        std::string record = files.substr(start, end - start);
        start = end + 1;
        std::string path = record.substr(0, record.find(':'));
        std::string md5 = record.substr(record.find(':') + 1);
        std::string local = temp / ("installed/" + path);
        fs::create_directories(fs::path(local).parent_path());
        EXPECT_TRUE(HttpDownload(UrlEncodePath("http://" + host + "/my game/" + path), local, md5)) << path;
        EXPECT_EQ(FileFingerprint(local), md5) << path;
        ++downloaded;
    }
    EXPECT_EQ(downloaded, 4);
    EXPECT_EQ(ReadFileBytes(temp / "installed/maps/map 1.bin"), binary);
    EXPECT_EQ(ReadFileBytes(temp / "installed/data/game.dat"), "My Game\r\nmy game\r\n");

    std::string unknown;
    EXPECT_EQ(RequestResult::Done,
              ServerRequest(host, "/nogame/", observer, [&](const std::string& block) { unknown = block; }));
    EXPECT_EQ(unknown, "error:ERR_GAME");
    NetworkShutdown();
}

}  // namespace
}  // namespace zefo::tools
