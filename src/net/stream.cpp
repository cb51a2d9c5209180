#include "net/stream.h"

#include <utility>

namespace zefo {

namespace {

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

}  // namespace

StreamPtr MakeTcpStream(ConnectionPtr connection) {
    return connection ? std::make_unique<TcpStream>(std::move(connection)) : nullptr;
}

StreamPtr MakeTlsStream(TlsPtr tls) {
    return tls ? std::make_unique<TlsStream>(std::move(tls)) : nullptr;
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
