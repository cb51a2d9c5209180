#include "net/tls.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "common/trusted_authority.h"
#include "net/clock.h"
#include "net/tcp_client.h"

namespace zefo::test {
namespace {

constexpr uint32_t kHandshakeLimitMs = 10000;

// Needs the servers of tls_fixture.sh (ctest starts them); reads its ports and
// trusts its root for the test's lifetime.
class TlsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(NetworkStartup()); }
    static void TearDownTestSuite() { NetworkShutdown(); }

    void SetUp() override {
        folder_ = TlsFixtureFolder();
        ASSERT_NE(folder_, "") << "ZEFO_TLS_FIXTURE is not set: run through ctest, which starts tls_fixture.sh";
        std::istringstream lines(ReadFileBytes(folder_ + "ports"));
        for (std::string line; std::getline(lines, line);)
            ports_[line.substr(0, line.find('='))] = static_cast<uint16_t>(std::stoi(line.substr(line.find('=') + 1)));
        ASSERT_EQ(ports_.size(), 5u) << folder_;
        pin_ = ReadFileBytes(folder_ + "pin").substr(0, 64);
        trust_ = std::make_unique<TrustedAuthority>(folder_ + "ca.pem");
        ASSERT_EQ(trust_->error(), "");
    }

    TlsPtr Open(const std::string& server, const std::string& host, const std::string& pin, std::string& reason) {
        ConnectionPtr connection = OpenConnection("127.0.0.1", ports_.at(server));
        EXPECT_TRUE(connection) << server;
        return OpenTls(std::move(connection), host, pin, kHandshakeLimitMs, reason);
    }

    std::string folder_;
    std::map<std::string, uint16_t> ports_;
    std::string pin_;
    std::unique_ptr<TrustedAuthority> trust_;
};

// Everything until the session ends, each wait bounded; `end` gets the last result.
std::string ReceiveAll(TlsConnection& tls, int& end) {
    std::string received;
    char piece[4096];
    const uint32_t start = MillisecondTicks();
    for (;;) {
        int count = tls.ReceiveWaiting(piece, sizeof piece);
        if (count > 0) {
            received.append(piece, static_cast<size_t>(count));
            continue;
        }
        end = count;
        if (count != kReceiveNothing || MillisecondTicks() - start > 20000)
            return received;
        tls.WaitReadable(1000);
    }
}

TEST_F(TlsTest, AVerifiedServerCarriesBytesBothWays) {
    std::string reason;
    TlsPtr tls = Open("good", "localhost", "", reason);
    ASSERT_TRUE(tls) << reason;
    EXPECT_EQ(reason, "");
    const std::string request = "GET /pattern.bin HTTP/1.0\r\nHost: localhost\r\n\r\n";
    ASSERT_EQ(tls->Send(request.data(), static_cast<int>(request.size())), static_cast<int>(request.size()));
    int end = 1;
    const std::string reply = ReceiveAll(*tls, end);
    EXPECT_EQ(end, 0) << "the server ends with its closing alert";
    ASSERT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0) << reply.substr(0, 200);
    EXPECT_EQ(reply.substr(reply.find("\r\n\r\n") + 4), ReadFileBytes(folder_ + "www/pattern.bin"));
    EXPECT_TRUE(tls->WaitReadable(0)) << "the end stays readable";
    EXPECT_EQ(tls->Send("x", 1), -1);

    // The server's own key passes its pin, in either letter case.
    std::string upper = pin_;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& pin : {pin_, upper}) {
        tls = Open("good", "localhost", pin, reason);
        EXPECT_TRUE(tls) << reason;
    }
    // An address is matched against the certificate's addresses.
    tls = Open("good", "127.0.0.1", "", reason);
    EXPECT_TRUE(tls) << reason;
    tls = Open("good", "127.0.0.2", "", reason);
    EXPECT_FALSE(tls);
    EXPECT_EQ(reason, "host name does not match");
}

TEST_F(TlsTest, EveryFailedCheckRefusesTheServerWithItsReason) {
    struct Case {
        const char* server;
        const char* host;
        std::string pin;
        const char* reason;
    };
    std::string otherPin = pin_;
    otherPin[10] = otherPin[10] == '0' ? '1' : '0';
    const Case cases[] = {
        {"self", "localhost", "", "self-signed certificate"},
        {"expired", "localhost", "", "certificate has expired"},
        {"good", "zefo.invalid", "", "host name does not match"},
        {"other", "localhost", "", "unknown certificate authority"},
        {"good", "localhost", otherPin, "public key does not match the pinned key"},
        {"good", "localhost", pin_.substr(1), "the pinned key is not 64 hexadecimal digits"},
    };
    for (const Case& c : cases) {
        std::string reason;
        TlsPtr tls = Open(c.server, c.host, c.pin, reason);
        EXPECT_FALSE(tls) << c.server;
        EXPECT_EQ(reason, c.reason) << c.server << " " << c.host;
    }
    // A server that offers nothing newer than TLS 1.1.
    std::string reason;
    EXPECT_FALSE(Open("old", "localhost", "", reason));
    EXPECT_NE(reason, "");
}

TEST_F(TlsTest, HandshakesThatGoNowhereEndInTime) {
    ScriptedServer silent;
    silent.Enqueue(Script().StaySilent());
    std::string reason;
    uint32_t start = MillisecondTicks();
    EXPECT_FALSE(OpenTls(OpenConnection("127.0.0.1", silent.port()), "localhost", "", 300, reason));
    EXPECT_EQ(reason, "the server did not complete the handshake in time");
    EXPECT_LT(MillisecondTicks() - start, 5000u);

    ScriptedServer plain;
    plain.Enqueue(Script().Send("HTTP/1.0 400 Bad Request\r\n\r\nnot TLS").Close());
    EXPECT_FALSE(OpenTls(OpenConnection("127.0.0.1", plain.port()), "localhost", "", kHandshakeLimitMs, reason));
    EXPECT_NE(reason, "");
    EXPECT_FALSE(OpenTls(nullptr, "localhost", "", kHandshakeLimitMs, reason));
}

}  // namespace
}  // namespace zefo::test
