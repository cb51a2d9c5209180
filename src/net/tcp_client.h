// A small, poll-driven TCP client over the platform's sockets (Winsock 2.2 on
// Windows). A connect tries every address of a name, both families, and is
// bounded; after it, callers poll and bound their waiting with the clocks of
// clock.h.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zefo {

// Event numbers of PollEvent.
constexpr int kPollNothing = 0;
constexpr int kPollData = 2;

// One open stream connection (IPv4 or IPv6). It owns its socket and closes it when
// destroyed; it belongs to the thread that opened it.
class ServerConnection {
  public:
    explicit ServerConnection(uintptr_t socket) : socket_(socket) {}
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    uintptr_t socket() const { return socket_; }

  private:
    uintptr_t socket_;
};
using ConnectionPtr = std::unique_ptr<ServerConnection>;

// Starts the socket service (version 2.2 requested on Windows); true on success.
bool NetworkStartup();
// Releases the socket service when NetworkStartup succeeded.
void NetworkShutdown();

// The whole of one connect, the name's lookup included.
constexpr uint32_t kConnectLimitMs = 10000;
// How long an attempt has alone before the next address is tried beside it.
constexpr uint32_t kConnectAttemptDelayMs = 250;
// Addresses of one name that are tried at most.
constexpr size_t kConnectMaxAddresses = 32;

// One address to connect to.
struct Endpoint {
    bool ipv6 = false;
    std::array<uint8_t, 16> address{};  // network order; the first 4 bytes for IPv4
    uint32_t scope = 0;                 // the IPv6 zone ("%eth0"), 0 for none
    uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// The order in which to try a name's addresses: the system's order (RFC 6724)
// kept within each family, the families taking turns beginning with the family
// of the first (RFC 8305), repeats dropped, at most kConnectMaxAddresses.
std::vector<Endpoint> ConnectOrder(const std::vector<Endpoint>& lookedUp);

// Why a connect gave no connection.
enum class ConnectFailure { None, BadHost, NoAddress, Unreachable, TimedOut, Stopped };

struct ConnectOptions {
    uint32_t limitMs = kConnectLimitMs;
    uint32_t attemptDelayMs = kConnectAttemptDelayMs;
    // Asked at least every 50 ms while the connect waits; true ends it.
    std::function<bool()> stopRequested;
};

struct ConnectReport {
    ConnectFailure failure = ConnectFailure::None;
    int attempts = 0;    // connects started
    Endpoint connected;  // the address that answered
};

// Connects to `host` and `port`. `host` is a literal IPv4 or IPv6 address (with
// or without brackets; no lookup) or a name whose IPv6 and IPv4 addresses are
// all looked up and tried in ConnectOrder as ConnectToAny does; the lookup counts
// towards limitMs. The connection is blocking, as the calls below expect. Empty
// on failure, and `report` (when given) tells why.
ConnectionPtr Connect(const std::string& host,
                      uint16_t port,
                      const ConnectOptions& options = {},
                      ConnectReport* report = nullptr);

// Connects to the first of `endpoints` that answers, trying them in their order:
// the next one starts when the earlier attempts have all failed or
// attemptDelayMs after the last start while they still wait, the first to
// connect wins and the others are closed, and everything ends after limitMs.
// These limits run on the system's clock, not a test clock.
ConnectionPtr ConnectToAny(const std::vector<Endpoint>& endpoints,
                           const ConnectOptions& options = {},
                           ConnectReport* report = nullptr);

// Connect with the default limits: `host` is a literal address or a name looked
// up by its UTF-8 bytes. Empty on any failure.
ConnectionPtr OpenConnection(const std::string& host, uint16_t port);
// The same for a host given as 8-bit bytes, used without any conversion.
ConnectionPtr OpenConnectionBytes(const std::string& host, uint16_t port);

// One send of the whole text; bytes handed to the platform or -1.
int SendText(ServerConnection& connection, const std::string& text);
// One send of `length` bytes; bytes handed to the platform or -1.
int SendBytes(ServerConnection& connection, const void* bytes, int length);
// kPollData when at least one byte is waiting, else kPollNothing (also after
// the peer closed).
int PollEvent(ServerConnection& connection);
// The number of bytes waiting to be received (0 on error).
int BytesWaiting(ServerConnection& connection);
// One receive of at most `capacity` bytes: the count read, 0 when the peer
// closed, -1 on error.
int ReceiveBytes(ServerConnection& connection, void* buffer, int capacity);
// Closes the connection; the pointer is empty afterwards.
void CloseConnection(ConnectionPtr& connection);

// Waits at most `milliseconds` until bytes are waiting or the peer has closed
// or failed; true when the connection became readable. Goes through the test
// clock when one is installed.
bool WaitReadable(ServerConnection& connection, uint32_t milliseconds);
// Receives what is waiting without waiting: the count read (at most
// `capacity`), 0 when the peer closed, -1 on error, kReceiveNothing when no
// byte is waiting yet.
constexpr int kReceiveNothing = -2;
int ReceiveWaiting(ServerConnection& connection, void* buffer, int capacity);

}  // namespace zefo
