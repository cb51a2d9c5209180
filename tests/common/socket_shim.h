// The few socket calls the scripted test server needs, for both platforms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zefo::test::shim {

using Socket = intptr_t;
constexpr Socket kInvalid = -1;

// Starts the platform's socket service for the test server (once per process).
void Startup();
// A listening socket on 127.0.0.1 at `port`, or at a port the system chooses when
// `port` is 0; `port` receives the port in use.
Socket ListenLoopback(uint16_t& port);
// The same on ::1 (`ipv6`) or 127.0.0.1 with room for `backlog` connections waiting
// to be accepted; kInvalid when it cannot be made (no IPv6 here, port taken).
Socket ListenLoopbackFamily(bool ipv6, uint16_t& port, int backlog);
// Connects to the loopback listener at `port` until its queue of connections not
// yet accepted is full, so that a further connect waits like one to a host that
// never answers. The connections that fill it (close them afterwards); empty when
// the queue did not fill.
std::vector<Socket> FillBacklog(bool ipv6, uint16_t port);
// The next connection, or kInvalid when none came within `milliseconds`.
Socket AcceptWithin(Socket listener, int milliseconds);
// 1 when readable (data, close or error), 0 after `milliseconds`, -1 on error.
int WaitReadable(Socket socket, int milliseconds);
// One receive: the count, 0 when the peer closed, -1 on error.
int Receive(Socket socket, char* buffer, int capacity);
// Sends all bytes; false when the peer is gone.
bool SendAll(Socket socket, const char* bytes, size_t length);
// Ends the sending direction (the peer reads the end of the stream).
void ShutdownSend(Socket socket);
// Closes with a reset instead of an orderly end.
void Abort(Socket socket);
void Close(Socket socket);

}  // namespace zefo::test::shim
