// One open connection to a server, plain TCP or TLS, behind one small interface.
// List requests and downloads read and write only through a Stream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/address.h"
#include "net/proxy_config.h"
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

// How a stream is opened beyond its address.
struct StreamOptions {
    // Asked while the connect waits; true ends it.
    std::function<bool()> stopRequested;
    // The proxy to go through (ChooseProxy's choice). Plain HTTP then runs over a
    // connection to the proxy, and the requests name their absolute URL; TLS runs
    // through a tunnel the proxy opens with CONNECT, checked end to end as without one.
    ProxyChoice proxy;
    // The bound of the connect, the name's lookup included.
    uint32_t connectLimitMs = kConnectLimitMs;
};

// Connects to the address (the host's bytes looked up as they are, every address of
// the name tried as Connect does), or to the proxy of `options`; for TLS also
// completes the handshake within `timeoutMs`, with the chain, the host name and,
// when `pin` is not empty, the server's key checked. Empty on failure; `reason`
// then holds the English reason of a TLS or proxy failure (empty for a failed
// connect).
StreamPtr OpenStream(const ServerAddress& address,
                     const std::string& pin,
                     uint32_t timeoutMs,
                     std::string& reason,
                     const StreamOptions& options = {});

// Whether requests over a stream opened with `proxy` for `address` go to the proxy
// itself: plain HTTP through a proxy, which takes absolute URLs.
bool ThroughPlainProxy(const ServerAddress& address, const ProxyChoice& proxy);

// The request target for `pathWithSlash` ("/" and the rest) on `address`: as it is,
// or through a plain proxy the absolute URL ("http://" and the Host line before it).
std::string RequestTarget(const ServerAddress& address, const ProxyChoice& proxy, std::string_view pathWithSlash);

// The Proxy-Authorization line (with its line end) a request through a plain proxy
// carries, or empty.
std::string ProxyAuthorizationLine(const ServerAddress& address, const ProxyChoice& proxy);

}  // namespace zefo
