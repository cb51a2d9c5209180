#include "net/tcp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/child_process.h"
#include "common/net_test.h"
#include "common/scripted_server.h"
#include "common/socket_shim.h"
#include "net/clock.h"
#include "net/tcp_platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace zefo::test {
namespace {

using TcpClientTest = NetTest;

// Reads until `count` bytes came or 5 s passed.
std::string ReceiveAtLeast(ServerConnection& connection, size_t count) {
    std::string text;
    char buffer[256];
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (text.size() < count && std::chrono::steady_clock::now() < end) {
        if (!WaitReadable(connection, 50))
            continue;
        int received = ReceiveBytes(connection, buffer, sizeof buffer);
        if (received <= 0)
            break;
        text.append(buffer, static_cast<size_t>(received));
    }
    return text;
}

TEST_F(TcpClientTest, ExchangesBytesWithADottedAddressAndSeesNoEventAfterTheClose) {
    ScriptedServer server;
    server.Enqueue(Script().AwaitRequest().Send("hello").Close());
    ConnectionPtr connection = OpenConnection("127.0.0.1", server.port());
    ASSERT_TRUE(connection);
    EXPECT_EQ(SendText(*connection, "PING\r\n\r\n"), 8);
    EXPECT_EQ(ReceiveAtLeast(*connection, 5), "hello");
    ASSERT_TRUE(WaitReadable(*connection, 5000));

    // The close is never reported as an event: nothing is waiting, on every call.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(PollEvent(*connection), kPollNothing);
    char byte;
    EXPECT_EQ(ReceiveWaiting(*connection, &byte, 1), 0);
    EXPECT_EQ(ReceiveBytes(*connection, &byte, 1), 0);
    EXPECT_EQ(PollEvent(*connection), kPollNothing);
    CloseConnection(connection);
    EXPECT_FALSE(connection);
    ASSERT_TRUE(server.WaitForFinished(0, 10000));
    EXPECT_EQ(server.Request(0), "PING\r\n\r\n");
}

TEST_F(TcpClientTest, PollsWaitsAndReceivesWhatIsWaiting) {
    ScriptedServer server;
    server.Enqueue(Script().AwaitRequest().AwaitGate(1).Send("abcdef").Mark(1).StaySilent());
    ConnectionPtr connection = OpenConnectionBytes("127.0.0.1", server.port());
    ASSERT_TRUE(connection);
    // An empty text is one send of no bytes.
    EXPECT_EQ(SendText(*connection, ""), 0);
    EXPECT_EQ(SendBytes(*connection, "\r\n\r\n", 4), 4);

    char buffer[16];
    EXPECT_EQ(PollEvent(*connection), kPollNothing);
    EXPECT_FALSE(WaitReadable(*connection, 30));
    EXPECT_EQ(ReceiveWaiting(*connection, buffer, sizeof buffer), kReceiveNothing);

    server.OpenGate(1);
    ASSERT_TRUE(server.WaitForMark(1, 5000));
    ASSERT_TRUE(WaitReadable(*connection, 5000));
    EXPECT_EQ(PollEvent(*connection), kPollData);
    EXPECT_EQ(ReceiveWaiting(*connection, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(ReceiveBytes(*connection, buffer, sizeof buffer), 2);
    EXPECT_EQ(std::string(buffer, 2), "ef");
}

TEST_F(TcpClientTest, FailedOpeningsGiveNoConnection) {
    uint16_t unused;
    {
        ScriptedServer gone;
        unused = gone.port();
    }
    EXPECT_FALSE(OpenConnection("127.0.0.1", unused));  // refused
    EXPECT_FALSE(OpenConnection("", 80));
    EXPECT_FALSE(OpenConnectionBytes(std::string("127.0.0.1\0x", 11), 80));
    // Not a usable address: the lookup's first answer is 255.255.255.255.
    EXPECT_FALSE(OpenConnection("255.255.255.255", 80));
}

TEST_F(TcpClientTest, NamesAreLookedUp) {
    ScriptedServer server;
    server.EnqueueReply("x");
    ConnectionPtr connection = OpenConnection("localhost", server.port());
    ASSERT_TRUE(connection);
    EXPECT_TRUE(server.WaitForConnections(1, 5000));
}

TEST_F(TcpClientTest, WaitsGoThroughTheTestClock) {
    ManualClock clock(100, 5000);
    SetTestClock(&clock);
    EXPECT_EQ(MillisecondTicks(), 100u);
    EXPECT_EQ(WallClockMilliseconds(), 5000);
    auto before = std::chrono::steady_clock::now();
    SleepMilliseconds(60000);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ(MillisecondTicks(), 60100u);
    EXPECT_EQ(WallClockMilliseconds(), 65000);

    ScriptedServer server;
    server.Enqueue(Script().StaySilent());
    ConnectionPtr connection = OpenConnection("127.0.0.1", server.port());
    ASSERT_TRUE(connection);
    EXPECT_FALSE(WaitReadable(*connection, 30000));
    EXPECT_EQ(MillisecondTicks(), 90100u);
    SetTestClock(nullptr);
}

// A listening socket on a loopback address, closed at the end.
struct Listener {
    Listener(bool ipv6, uint16_t wanted = 0, int backlog = 16) : port(wanted) {
        socket = shim::ListenLoopbackFamily(ipv6, port, backlog);
    }
    ~Listener() {
        for (shim::Socket filler : fillers)
            shim::Close(filler);
        if (socket != shim::kInvalid)
            shim::Close(socket);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    bool ok() const { return socket != shim::kInvalid; }
    // True when a connection came within 5 s (it is closed again).
    bool Accepts() {
        shim::Socket accepted = shim::AcceptWithin(socket, 5000);
        if (accepted == shim::kInvalid)
            return false;
        shim::Close(accepted);
        return true;
    }

    uint16_t port;
    shim::Socket socket;
    std::vector<shim::Socket> fillers;
};

// A listener that never answers another connect, like a host that is gone.
std::unique_ptr<Listener> DeadListener(bool ipv6) {
    auto dead = std::make_unique<Listener>(ipv6, 0, 0);
    if (dead->ok())
        dead->fillers = shim::FillBacklog(ipv6, dead->port);
    return dead;
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(TcpClientTest, ConnectsToIpv4AndIpv6AddressesAndExchangesBytes) {
    for (bool ipv6 : {false, true}) {
        Listener listener(ipv6);
        if (ipv6 && !listener.ok())
            GTEST_SKIP() << "no IPv6 loopback address here";
        ASSERT_TRUE(listener.ok());
        const std::vector<std::string> hosts =
            ipv6 ? std::vector<std::string>{"::1", "[::1]"} : std::vector<std::string>{"127.0.0.1"};
        for (const std::string& host : hosts) {
            ConnectReport report;
            ConnectionPtr connection = Connect(host, listener.port, {}, &report);
            ASSERT_TRUE(connection) << host;
            EXPECT_EQ(report.failure, ConnectFailure::None);
            EXPECT_EQ(report.attempts, 1);
            EXPECT_EQ(report.connected.ipv6, ipv6);
            EXPECT_EQ(report.connected.port, listener.port);
            EXPECT_EQ(report.connected.address[ipv6 ? 15 : 0], ipv6 ? 1 : 127);

            shim::Socket accepted = shim::AcceptWithin(listener.socket, 5000);
            ASSERT_NE(accepted, shim::kInvalid) << host;
            EXPECT_EQ(SendText(*connection, "ping"), 4);
            char buffer[8];
            ASSERT_EQ(shim::WaitReadable(accepted, 5000), 1);
            EXPECT_EQ(shim::Receive(accepted, buffer, sizeof buffer), 4);
            // The connection is blocking again: a receive waits for bytes that come later.
            std::thread later([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                shim::SendAll(accepted, "pong", 4);
            });
            EXPECT_EQ(ReceiveBytes(*connection, buffer, 4), 4);
            later.join();
            EXPECT_EQ(std::string(buffer, 4), "pong");
            shim::Close(accepted);
        }
    }
}

TEST_F(TcpClientTest, TheWholeConnectIsBoundedAndCanBeStopped) {
    std::unique_ptr<Listener> dead = DeadListener(false);
    ASSERT_TRUE(dead->ok());
    if (dead->fillers.empty())
        GTEST_SKIP() << "a full listening queue does not hold connects here";

    ConnectOptions options;
    options.limitMs = 300;
    ConnectReport report;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Connect("127.0.0.1", dead->port, options, &report));
    EXPECT_EQ(report.failure, ConnectFailure::TimedOut);
    EXPECT_EQ(report.attempts, 1);
    EXPECT_GE(MillisecondsSince(start), 300);
    EXPECT_LT(MillisecondsSince(start), 5000);

    options.limitMs = kConnectLimitMs;
    options.stopRequested = [&] { return MillisecondsSince(start) >= 100; };
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Connect("127.0.0.1", dead->port, options, &report));
    EXPECT_EQ(report.failure, ConnectFailure::Stopped);
    EXPECT_LT(MillisecondsSince(start), 5000);

    EXPECT_FALSE(Connect("", 80, {}, &report));
    EXPECT_EQ(report.failure, ConnectFailure::BadHost);
    EXPECT_FALSE(Connect("255.255.255.255", 80, {}, &report));
    EXPECT_EQ(report.failure, ConnectFailure::NoAddress);
}

Endpoint Loopback(uint16_t port) {
    Endpoint endpoint;
    endpoint.address = {127, 0, 0, 1};
    endpoint.port = port;
    return endpoint;
}

TEST_F(TcpClientTest, AnAddressThatNeverAnswersOrRefusesMakesWayForTheNext) {
    std::unique_ptr<Listener> dead = DeadListener(false);
    ASSERT_TRUE(dead->ok());
    if (dead->fillers.empty())
        GTEST_SKIP() << "a full listening queue does not hold connects here";
    Listener live(false);
    ASSERT_TRUE(live.ok());
    uint16_t refused;
    {
        Listener gone(false);
        refused = gone.port;
    }

    // The first never answers: the second starts after the attempt delay while the
    // first still waits, and wins long before the limit.
    ConnectOptions options;
    options.limitMs = 5000;
    ConnectReport report;
    auto start = std::chrono::steady_clock::now();
    ConnectionPtr connection = ConnectToAny({Loopback(dead->port), Loopback(live.port)}, options, &report);
    ASSERT_TRUE(connection);
    EXPECT_GE(MillisecondsSince(start), static_cast<int64_t>(kConnectAttemptDelayMs));
    EXPECT_EQ(report.attempts, 2);
    EXPECT_EQ(report.connected, Loopback(live.port));
    EXPECT_TRUE(live.Accepts());

    // A refused address makes way at once: with an attempt delay longer than the
    // limit, only that gets the next address tried.
    options.attemptDelayMs = 60000;
    connection = ConnectToAny({Loopback(refused), Loopback(live.port)}, options, &report);
    ASSERT_TRUE(connection);
    EXPECT_EQ(report.attempts, 2);
    EXPECT_EQ(report.connected, Loopback(live.port));
    EXPECT_TRUE(live.Accepts());

    connection = ConnectToAny({Loopback(refused), Loopback(refused)}, options, &report);
    EXPECT_FALSE(connection);
    EXPECT_EQ(report.failure, ConnectFailure::Unreachable);
    EXPECT_EQ(report.attempts, 2);
}

Endpoint V4(uint8_t last) {
    Endpoint endpoint;
    endpoint.address = {10, 0, 0, last};
    return endpoint;
}

Endpoint V6(uint8_t last) {
    Endpoint endpoint;
    endpoint.ipv6 = true;
    endpoint.address[0] = 0x20;
    endpoint.address[15] = last;
    return endpoint;
}

TEST(ConnectOrderTest, FamiliesTakeTurnsFromTheFirstAndRepeatsGo) {
    EXPECT_EQ(ConnectOrder({V6(1), V6(2), V6(3), V4(1), V6(1), V4(2)}),
              (std::vector<Endpoint>{V6(1), V4(1), V6(2), V4(2), V6(3)}));
    // The system's order decides which family begins.
    EXPECT_EQ(ConnectOrder({V4(1), V4(2), V6(1)}), (std::vector<Endpoint>{V4(1), V6(1), V4(2)}));
    EXPECT_TRUE(ConnectOrder({}).empty());
    std::vector<Endpoint> many;
    for (int i = 0; i < 40; ++i)
        many.push_back(V4(static_cast<uint8_t>(i)));
    std::vector<Endpoint> order = ConnectOrder(many);
    ASSERT_EQ(order.size(), kConnectMaxAddresses);
    EXPECT_EQ(order.back(), V4(kConnectMaxAddresses - 1));
}

// Names with two addresses need a hosts file of the test's own, given by
// private_hosts.sh, which runs the test again in a mount namespace.
constexpr char kPrivateHosts[] = "ZEFO_TEST_PRIVATE_HOSTS";

TEST_F(TcpClientTest, ANameWhoseFirstAddressNeverAnswersConnectsThroughItsSecond) {
    if (!std::getenv(kPrivateHosts)) {
#ifdef _WIN32
        GTEST_SKIP() << "runs under Wine in a mount namespace as the test tcp_client.private_hosts";
#else
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        char self[4096];
        ssize_t length = readlink("/proc/self/exe", self, sizeof self);
        ASSERT_GT(length, 0);
        ChildProcess child("/bin/sh", {ZEFO_PRIVATE_HOSTS_SCRIPT, std::string(self, static_cast<size_t>(length)),
                                       "--gtest_filter=" + std::string(test->test_suite_name()) + "." + test->name()});
        const int code = child.started() ? child.Wait(60000) : -1;
        const std::string output = child.Output();
        if (code == 77 || output.find("[  SKIPPED ]") != std::string::npos)
            GTEST_SKIP() << output;
        EXPECT_EQ(code, 0) << output << child.Errors();
        EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
        return;
#endif
    }

    // Here /etc/hosts gives dual.zefo.test both loopback addresses.
    std::vector<Endpoint> found = detail::PlatformLookUp("dual.zefo.test", 1);
    ASSERT_EQ(found.size(), 2u);
    if (!found[0].ipv6)
        GTEST_SKIP() << "the system's order puts 127.0.0.1 before ::1";

    // Its first address never answers: the second, of the other family, wins.
    std::unique_ptr<Listener> dead, live;
    for (int i = 0; i < 20 && !(live && live->ok()); ++i) {
        dead = DeadListener(true);
        if (!dead->ok())
            GTEST_SKIP() << "no IPv6 loopback address here";
        live = std::make_unique<Listener>(false, dead->port);
    }
    ASSERT_TRUE(live->ok());
    ASSERT_FALSE(dead->fillers.empty()) << "a full listening queue does not hold connects here";
    ConnectOptions options;
    options.limitMs = 5000;
    ConnectReport report;
    auto start = std::chrono::steady_clock::now();
    ConnectionPtr connection = Connect("dual.zefo.test", dead->port, options, &report);
    const int64_t took = MillisecondsSince(start);
    ASSERT_TRUE(connection);
    EXPECT_EQ(report.attempts, 2);
    EXPECT_FALSE(report.connected.ipv6);
    EXPECT_GE(took, static_cast<int64_t>(kConnectAttemptDelayMs));
    EXPECT_TRUE(live->Accepts());
    std::printf("first address never answers: connected in %lld ms\n", static_cast<long long>(took));
}

}  // namespace
}  // namespace zefo::test
