#include "net/stream.h"

#include <utility>

#include "base/ascii.h"
#include "net/server_request.h"

namespace zefo {

namespace {

constexpr std::string_view kHttp = "http://";
constexpr std::string_view kHttps = "https://";
constexpr uint16_t kHttpPort = 80;
constexpr uint16_t kHttpsPort = 443;

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

// The authority after a scheme: up to the first "/".
std::string_view Authority(std::string_view rest) {
    return rest.substr(0, rest.find('/'));
}

}  // namespace

StreamPtr MakeTcpStream(ConnectionPtr connection) {
    return connection ? std::make_unique<TcpStream>(std::move(connection)) : nullptr;
}

StreamPtr MakeTlsStream(TlsPtr tls) {
    return tls ? std::make_unique<TlsStream>(std::move(tls)) : nullptr;
}

ServerAddress ParseServerAddress(std::string_view text) {
    ServerAddress address;
    if (StartsWithNoCase(text, kHttps)) {
        address.tls = true;
        address.schemeGiven = true;
        std::string_view authority = Authority(text.substr(kHttps.size()));
        SplitHostPort(authority, address.host, address.port);
        // SplitHostPort gives 80 when no port is written.
        if (authority.find(':') == std::string_view::npos || authority.back() == ':')
            address.port = kHttpsPort;
        return address;
    }
    if (StartsWithNoCase(text, kHttp)) {
        address.schemeGiven = true;
        text = Authority(text.substr(kHttp.size()));
    }
    SplitHostPort(text, address.host, address.port);
    return address;
}

std::string HostLine(const ServerAddress& address) {
    const uint16_t own = address.tls ? kHttpsPort : kHttpPort;
    return address.port == own ? address.host : address.host + ":" + std::to_string(address.port);
}

std::string ServerUrlBase(std::string_view serverText) {
    if (StartsWithNoCase(serverText, kHttps))
        return std::string(kHttps) + std::string(Authority(serverText.substr(kHttps.size())));
    if (StartsWithNoCase(serverText, kHttp))
        return std::string(kHttp) + std::string(Authority(serverText.substr(kHttp.size())));
    return std::string(kHttp) + std::string(serverText);
}

StreamPtr OpenStream(const ServerAddress& address, const std::string& pin, uint32_t timeoutMs, std::string& reason) {
    reason.clear();
    ConnectionPtr connection = OpenConnectionBytes(address.host, address.port);
    if (!connection)
        return nullptr;
    if (!address.tls)
        return MakeTcpStream(std::move(connection));
    return MakeTlsStream(OpenTls(std::move(connection), address.host, pin, timeoutMs, reason));
}

}  // namespace zefo
