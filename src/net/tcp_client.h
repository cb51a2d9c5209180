// A small, poll-driven TCP client over the platform's sockets (Winsock 1.1 on
// Windows). Nothing here is asynchronous and nothing sets a time limit of its
// own: callers poll and bound their waiting with the clocks of clock.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zefo {

// Event numbers of PollEvent.
constexpr int kPollNothing = 0;
constexpr int kPollData = 2;

// One open IPv4 stream connection. It owns its socket and closes it when
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

// Starts the socket service (version 1.1 requested on Windows); true on success.
bool NetworkStartup();
// Releases the socket service when NetworkStartup succeeded.
void NetworkShutdown();

// Connects to `host` (a dotted IPv4 address, or a name that is looked up by its
// UTF-8 bytes) and `port` with a blocking connect. Empty on any failure.
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
