#include "net/tcp_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/scripted_server.h"
#include "net/clock.h"
#include "common/net_test.h"

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

}  // namespace
}  // namespace zefo::test
