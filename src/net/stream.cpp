#include "net/stream.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace zefo {

namespace {

// The longest answer to a CONNECT.
constexpr size_t kTunnelHeadLimit = 16 * 1024;

class TcpStream final : public Stream {
  public:
    explicit TcpStream(ConnectionPtr connection) : connection_(std::move(connection)) {}

    int Send(const void* bytes, int length) override {
        if (length < 0)
            return -1;
        const char* next = static_cast<const char*>(bytes);
        int left = length;
        while (left > 0) {
            int sent = SendBytes(*connection_, next, left);
            if (sent <= 0)
                return -1;
            next += sent;
            left -= sent;
        }
        return length;
    }
    int ReceiveWaiting(void* buffer, int capacity) override {
        return capacity > 0 ? zefo::ReceiveWaiting(*connection_, buffer, capacity) : -1;
    }
    bool WaitReadable(uint32_t milliseconds) override { return zefo::WaitReadable(*connection_, milliseconds); }

  private:
    ConnectionPtr connection_;
};

class TlsStream final : public Stream {
  public:
    explicit TlsStream(TlsPtr tls) : tls_(std::move(tls)) {}

    int Send(const void* bytes, int length) override { return tls_->Send(bytes, length); }
    int ReceiveWaiting(void* buffer, int capacity) override { return tls_->ReceiveWaiting(buffer, capacity); }
    bool WaitReadable(uint32_t milliseconds) override { return tls_->WaitReadable(milliseconds); }

  private:
    TlsPtr tls_;
};

// The host and port a CONNECT names: always with the port, an IPv6 literal in brackets.
std::string TunnelAuthority(const ServerAddress& address) {
    const std::string host = address.host.find(':') == std::string::npos ? address.host : "[" + address.host + "]";
    return host + ":" + std::to_string(address.port);
}

// Asks the proxy on `connection` for a tunnel to `address` and reads its answer
// within `timeoutMs`: true after a 2xx, with nothing of the server's read yet.
bool OpenTunnel(ServerConnection& connection,
                const ServerAddress& address,
                const ProxyServer& proxy,
                uint32_t timeoutMs,
                std::string& reason) {
    const std::string authority = TunnelAuthority(address);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!proxy.authorization.empty())
        request += "Proxy-Authorization: " + proxy.authorization + "\r\n";
    request += "\r\n";
    if (SendText(connection, request) != static_cast<int>(request.size())) {
        reason = "The proxy closed the connection.";
        return false;
    }
    // The proxy's answer ends with an empty line; the server says nothing before the
    // client's first TLS bytes, so one byte at a time reads no further than that line.
    std::string head;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (head.size() < kTunnelHeadLimit && head.find("\r\n\r\n") == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        char byte = 0;
        int received = kReceiveNothing;
        if (left > 0 && WaitReadable(connection, static_cast<uint32_t>(std::min<int64_t>(left, 1000))))
            received = ReceiveWaiting(connection, &byte, 1);
        if (received == 1)
            head += byte;
        else if (received != kReceiveNothing || left <= 0)
            break;
    }
    const size_t lineEnd = head.find("\r\n");
    if (head.find("\r\n\r\n") == std::string::npos || head.compare(0, 5, "HTTP/") != 0 || lineEnd < 12 ||
        head[9] != '2') {
        const std::string line = head.substr(0, std::min<size_t>(lineEnd, 200));
        reason = line.empty() ? "The proxy did not answer." : "The proxy refused the connection: " + line;
        return false;
    }
    return true;
}

}  // namespace

StreamPtr MakeTcpStream(ConnectionPtr connection) {
    return connection ? std::make_unique<TcpStream>(std::move(connection)) : nullptr;
}

StreamPtr MakeTlsStream(TlsPtr tls) {
    return tls ? std::make_unique<TlsStream>(std::move(tls)) : nullptr;
}

bool ThroughPlainProxy(const ServerAddress& address, const ProxyChoice& proxy) {
    return !address.tls && proxy.kind == ProxyKind::Proxy;
}

std::string RequestTarget(const ServerAddress& address, const ProxyChoice& proxy, std::string_view pathWithSlash) {
    if (!ThroughPlainProxy(address, proxy))
        return std::string(pathWithSlash);
    return "http://" + HostLine(address) + std::string(pathWithSlash);
}

std::string ProxyAuthorizationLine(const ServerAddress& address, const ProxyChoice& proxy) {
    if (!ThroughPlainProxy(address, proxy) || proxy.server.authorization.empty())
        return {};
    return "Proxy-Authorization: " + proxy.server.authorization + "\r\n";
}

StreamPtr OpenStream(const ServerAddress& address,
                     const std::string& pin,
                     uint32_t timeoutMs,
                     std::string& reason,
                     const StreamOptions& options) {
    reason.clear();
    if (options.proxy.kind == ProxyKind::Invalid) {
        // A proxy setting that cannot be read is no reason to go round the proxy.
        reason = "The proxy setting \"" + options.proxy.text + "\" is not a proxy URL.";
        return nullptr;
    }
    ConnectOptions connect;
    connect.stopRequested = options.stopRequested;
    connect.limitMs = options.connectLimitMs;
    const bool proxied = options.proxy.kind == ProxyKind::Proxy;
    ConnectionPtr connection = proxied ? Connect(options.proxy.server.host, options.proxy.server.port, connect)
                                       : Connect(address.host, address.port, connect);
    if (!connection)
        return nullptr;
    if (!address.tls)
        return MakeTcpStream(std::move(connection));
    if (proxied && !OpenTunnel(*connection, address, options.proxy.server, timeoutMs, reason))
        return nullptr;
    return MakeTlsStream(OpenTls(std::move(connection), address.host, pin, timeoutMs, reason));
}

}  // namespace zefo
