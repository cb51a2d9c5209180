#include "net/server_request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "common/net_test.h"
#include "common/scripted_server.h"
#include "net/clock.h"
#include "net/stream.h"

namespace zefo::test {
namespace {

class ServerRequestTest : public NetTest {
  protected:
    // Runs one request; the block handed over, or nothing when it failed.
    std::optional<std::string> Request(const std::string& serverText, const std::string& path = "/") {
        std::optional<std::string> block;
        RequestResult result =
            ServerRequest(serverText, path, observer, [&block](const std::string& text) { block = text; });
        EXPECT_EQ(result == RequestResult::Done, block.has_value());
        return block;
    }

    void ExpectOneMessage(const std::string& text) {
        auto messages = observer.Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].title, "Error");
        EXPECT_EQ(messages[0].text, text);
    }

    ScriptedServer server;
};

TEST_F(ServerRequestTest, SendsTheExactRequestAndHandsOverTheBlock) {
    server.EnqueueReply(ListReply("Alpha:alpha|"));
    server.EnqueueReply(ListReply("a.pak:00"));
    EXPECT_EQ(Request(server.Host(), "/"), "Alpha:alpha|");
    EXPECT_EQ(Request(server.Host(), "/my game/"), "a.pak:00");
    ASSERT_TRUE(server.WaitForFinished(1, 10000));
    EXPECT_EQ(server.Request(0),
              "GET / HTTP/1.0\r\nHost: " + server.Host() + "\r\nUser-Agent: Zefo Game Updater\r\n\r\n");
    // The folder goes in unencoded, blanks and all.
    EXPECT_EQ(server.Request(1),
              "GET /my game/ HTTP/1.0\r\nHost: " + server.Host() + "\r\nUser-Agent: Zefo Game Updater\r\n\r\n");
    EXPECT_TRUE(observer.Messages().empty());
}

TEST_F(ServerRequestTest, AServerTextWithoutPortUsesPort80AndStandsAsItIsInTheHostLine) {
    std::string host;
    uint16_t port = 0;
    SplitHostPort("updates.example", host, port);
    EXPECT_EQ(host, "updates.example");
    EXPECT_EQ(port, 80);
    SplitHostPort("h:", host, port);
    EXPECT_EQ(port, 80);
    SplitHostPort("h:8080", host, port);
    EXPECT_EQ(host, "h");
    EXPECT_EQ(port, 8080);
    SplitHostPort("h:12ab", host, port);
    EXPECT_EQ(port, 12);
    SplitHostPort("h:65616", host, port);  // reduced to 16 bits
    EXPECT_EQ(port, 80);
    SplitHostPort("h:x", host, port);
    EXPECT_EQ(port, 0);
    EXPECT_EQ(ListRequestText("updates.example", "/"),
              "GET / HTTP/1.0\r\nHost: updates.example\r\nUser-Agent: Zefo Game Updater\r\n\r\n");

    ScriptedServer port80(80);
    if (!port80.listening())
        GTEST_SKIP() << "port 80 of 127.0.0.1 is not available here";
    port80.EnqueueReply(ListReply("x:1"));
    EXPECT_EQ(Request("127.0.0.1"), "x:1");
    ASSERT_TRUE(port80.WaitForFinished(0, 10000));
    EXPECT_EQ(port80.Request(0), "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: Zefo Game Updater\r\n\r\n");
}

TEST_F(ServerRequestTest, ServerTextsWithASchemeChooseTlsAndTheirPort) {
    struct Case {
        const char* text;
        const char* host;
        uint16_t port;
        bool tls;
        const char* hostLine;
    };
    const Case cases[] = {
        {"h:8080", "h", 8080, false, "h:8080"},
        {"HTTP://h:81/", "h", 81, false, "h:81"},
        {"https://h", "h", 443, true, "h"},
        {"HttpS://h:8443/x", "h", 8443, true, "h:8443"},
        {"https://h:80", "h", 80, true, "h:80"},
        {"[::1]:8080", "::1", 8080, false, "[::1]:8080"},
        {"http://[::1]/", "::1", 80, false, "[::1]"},
        {"https://[fe80::1:2]", "fe80::1:2", 443, true, "[fe80::1:2]"},
        {"https://[2001:db8::5]:8443", "2001:db8::5", 8443, true, "[2001:db8::5]:8443"},
    };
    for (const Case& c : cases) {
        ServerAddress address = ParseServerAddress(c.text);
        EXPECT_EQ(address.host, c.host) << c.text;
        EXPECT_EQ(address.port, c.port) << c.text;
        EXPECT_EQ(address.tls, c.tls) << c.text;
        EXPECT_EQ(HostLine(address), c.hostLine) << c.text;
    }

    // Where redirects lead: a fragment dropped, never from https to plain http, the pin kept.
    Location from, to;
    ASSERT_TRUE(ParseUrl("https://h/a/b/c.bin", from));
    from.pin = "pin";
    ASSERT_TRUE(ResolveRedirect(from, "../d e.bin#part", to));
    EXPECT_EQ(to.target, "a/b/../d%20e.bin");
    EXPECT_EQ(to.pin, "pin");
    ASSERT_TRUE(ResolveRedirect(from, "//[::1]:8443/x", to));
    EXPECT_TRUE(to.address.tls && to.address.host == "::1" && to.address.port == 8443 && to.target == "x");
    EXPECT_FALSE(ResolveRedirect(from, "http://h/c.bin", to));
    EXPECT_FALSE(ResolveRedirect(from, "", to));
    EXPECT_FALSE(ResolveRedirect(from, "/a\r\nX-Injected: 1", to));

    // With "http://" the Host line carries the host and port, not the text.
    server.EnqueueReply(ListReply("a:1"));
    EXPECT_EQ(Request("http://" + server.Host() + "/"), "a:1");
    ASSERT_TRUE(server.WaitForFinished(0, 10000));
    EXPECT_EQ(server.Request(0),
              "GET / HTTP/1.0\r\nHost: " + server.Host() + "\r\nUser-Agent: Zefo Game Updater\r\n\r\n");

    // A plain server answering an https text is a failed handshake: its reason, then the message.
    server.Enqueue(Script().Send("HTTP/1.0 400 Bad Request\r\n\r\n[data]a:1[/data]").Close());
    EXPECT_FALSE(Request("https://" + server.Host()));
    ExpectOneMessage("Could not connect to server.");
    ASSERT_EQ(observer.Lines().size(), 1u);
    EXPECT_NE(observer.Lines()[0], "");
}

TEST_F(ServerRequestTest, FindsAnEndMarkerSplitAcrossPieces) {
    std::string reply = "HTTP/1.0 200 OK\r\n\r\n[data]a:1|b:2[/da";
    server.Enqueue(Script().AwaitRequest().Send(reply).Pause(150).Send("ta] trailing").Close());
    EXPECT_EQ(Request(server.Host()), "a:1|b:2");
}

TEST_F(ServerRequestTest, StatusAndHeadersAreNotExamined) {
    server.EnqueueReply("HTTP/1.0 404 Not Found\r\n\r\n[data]a:1[/data]");
    EXPECT_EQ(Request(server.Host()), "a:1");
    // Without "[data]" the block starts at the sixth character of the reply.
    server.EnqueueReply("HTTP/1.0 200 OK\r\n\r\nabc[/data]");
    EXPECT_EQ(Request(server.Host()), "1.0 200 OK\r\n\r\nabc");
    server.EnqueueReply("HTTP/1.0 200 OK\r\n\r\n[/data][data]x");
    EXPECT_EQ(Request(server.Host()), "");
    EXPECT_TRUE(observer.Messages().empty());
}

TEST_F(ServerRequestTest, BytesAfterAZeroByteOfAPieceAreLost) {
    std::string first = std::string("HTTP/1.0 200 OK\r\n\r\n[data]a:1|lost", 33) + std::string(1, '\0') + "gone|";
    server.Enqueue(Script().AwaitRequest().Send(first).Pause(200).Send("b:2[/data]").Close());
    EXPECT_EQ(Request(server.Host()), "a:1|lostb:2");
}

TEST_F(ServerRequestTest, TheTimeLimitIsStrict) {
    for (uint32_t elapsed : {10000u, 10001u}) {
        SCOPED_TRACE(elapsed);
        RecordingObserver fresh;
        // The reply is waiting before the first pass looks at the clock. The
        // start lies just before the counter wraps.
        const uint32_t start = 0xFFFFF000u;
        ManualClock clock(start);
        clock.OnTicks([&](int call) {
            if (call == 0) {
                ASSERT_TRUE(server.WaitForMark(elapsed, 5000));
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            } else if (call == 1) {
                clock.SetTicks(start + elapsed);
            }
        });
        SetTestClock(&clock);
        server.Enqueue(Script().Send(ListReply("a:1")).Mark(static_cast<int>(elapsed)).StaySilent());
        std::optional<std::string> block;
        ServerRequest(server.Host(), "/", fresh, [&block](const std::string& text) { block = text; });
        SetTestClock(nullptr);
        if (elapsed == 10000) {
            EXPECT_EQ(block, "a:1");
            EXPECT_TRUE(fresh.Messages().empty());
        } else {
            EXPECT_FALSE(block);
            ASSERT_EQ(fresh.Messages().size(), 1u);
            EXPECT_EQ(fresh.Messages()[0].text, "The request to the server timed out.");
        }
    }
}

TEST_F(ServerRequestTest, ASilentServerTimesOutAndTheConnectionClosesAfterTheBox) {
    ManualClock clock(1000);
    SetTestClock(&clock);
    server.Enqueue(Script().AwaitRequest().Send("HTTP/1.0 200 OK\r\n\r\n[data]a:1").StaySilent());
    bool openWhileShown = false;
    observer.onMessage = [&](const RecordingObserver::Box&) { openWhileShown = !server.WaitForFinished(0, 100); };
    auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(Request(server.Host()));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    ExpectOneMessage("The request to the server timed out.");
    EXPECT_TRUE(openWhileShown);
    EXPECT_TRUE(server.WaitForFinished(0, 10000));
    // Measured from the send: no earlier than 10001 ms.
    EXPECT_GE(clock.Ticks() - 1000u, 10001u);
}

TEST_F(ServerRequestTest, AServerThatClosesWithoutTheMarkerStillEndsInTheTimeOut) {
    ManualClock clock(0);
    // Real waits long enough for the reply and the close to arrive, short once they have.
    clock.SetRealWaitLimit(1000);
    clock.OnWait([&](uint32_t) {
        if (server.WaitForMark(1, 0))
            clock.SetRealWaitLimit(1);
    });
    SetTestClock(&clock);
    server.Enqueue(Script().AwaitRequest().Send("HTTP/1.0 200 OK\r\n\r\n[data]a:1").Mark(1).Close());
    EXPECT_FALSE(Request(server.Host()));
    ExpectOneMessage("The request to the server timed out.");
    uint32_t ended = clock.Ticks();
    EXPECT_GT(ended, 10000u);
    // After the close the loop waits out the limit instead of spinning.
    EXPECT_LT(ended, 10100u);
}

TEST_F(ServerRequestTest, NoConnectionShowsTheServerMessage) {
    uint16_t unused;
    {
        ScriptedServer gone;
        unused = gone.port();
    }
    EXPECT_FALSE(Request("127.0.0.1:" + std::to_string(unused)));
    ExpectOneMessage("Could not connect to server.");
}

TEST_F(ServerRequestTest, AnEndlessReplyEndsLikeATimeOut) {
    std::string filler(1 << 20, 'x');
    Script script;
    script.AwaitRequest();
    for (int i = 0; i < 66; ++i)
        script.Send(filler);
    server.Enqueue(script.StaySilent());
    // Time passes only when a wait of up to 5 s brings nothing, so the end comes from the size.
    ManualClock clock(0);
    clock.SetRealWaitLimit(5000);
    SetTestClock(&clock);
    EXPECT_FALSE(Request(server.Host()));
    EXPECT_LE(clock.Ticks(), kListTimeoutMs);
    ExpectOneMessage("The request to the server timed out.");
}

}  // namespace
}  // namespace zefo::test
