// One open connection to a server, plain TCP or TLS, behind one small interface.
// List requests and downloads read and write only through a Stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/address.h"
#include "net/tcp_client.h"
#include "net/tls.h"

namespace zefo {

// An open connection. It owns what it runs over and is used by one thread at a time.
class Stream {
  public:
    virtual ~Stream() = default;
    // Sends all `length` bytes: `length`, or -1 on failure.
    virtual int Send(const void* bytes, int length) = 0;
    // What has arrived, without waiting: the count (at most `capacity`, which must
    // be positive), 0 once the peer closed cleanly, -1 on error, kReceiveNothing
    // when nothing is ready yet.
    virtual int ReceiveWaiting(void* buffer, int capacity) = 0;
    // True when bytes (or the end) are ready, waiting at most `milliseconds`; waits
    // go through the test clock when one is installed.
    virtual bool WaitReadable(uint32_t milliseconds) = 0;
};
using StreamPtr = std::unique_ptr<Stream>;

StreamPtr MakeTcpStream(ConnectionPtr connection);
StreamPtr MakeTlsStream(TlsPtr tls);

// Connects to the address (the host's bytes looked up as they are); for TLS also
// completes the handshake within `timeoutMs`, with the chain, the host name and,
// when `pin` is not empty, the server's key checked. Empty on failure; `reason`
// then holds the English reason of a TLS failure (empty for a failed connect).
StreamPtr OpenStream(const ServerAddress& address, const std::string& pin, uint32_t timeoutMs, std::string& reason);

}  // namespace zefo
