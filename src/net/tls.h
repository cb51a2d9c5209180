// TLS (1.2 or newer) over an open TCP connection: Schannel on Windows, OpenSSL
// elsewhere. The server's certificate chain and host name are checked by the
// program itself against the system's trusted authorities, and optionally its
// public key against a pin. Poll-driven like tcp_client.h: waits go through
// WaitReadable and its test clock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/tcp_client.h"

namespace zefo {

class TlsConnection;
using TlsPtr = std::unique_ptr<TlsConnection>;

// Performs the handshake on `connection` (connected, nothing sent yet) for
// `host` (sent as the server name and matched against the certificate) within
// `timeoutMs`. `pin`, when not empty, is 64 hexadecimal digits: the SHA-256 of
// the server's SubjectPublicKeyInfo, and any other key is refused. Empty on any
// failure, with an English `reason` (e.g. "certificate has expired").
TlsPtr OpenTls(ConnectionPtr connection,
               const std::string& host,
               const std::string& pin,
               uint32_t timeoutMs,
               std::string& reason);

// One verified TLS session. It owns its connection and belongs to the thread
// that opened it.
class TlsConnection {
  public:
    struct State;
    explicit TlsConnection(std::unique_ptr<State> state);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // Sends all `length` bytes: `length`, or -1 on failure.
    int Send(const void* bytes, int length);
    // What has been decrypted, without waiting: the count (at most
    // `capacity`, which must be positive), 0 once the peer closed the session cleanly, -1 on error or
    // a connection cut without the closing alert, kReceiveNothing when no
    // byte is ready yet.
    int ReceiveWaiting(void* buffer, int capacity);
    // True at once when decrypted bytes (or the end) are ready; otherwise
    // waits at most `milliseconds` for the connection to become readable.
    bool WaitReadable(uint32_t milliseconds);

  private:
    std::unique_ptr<State> state_;
};

// The SHA-256 of a DER SubjectPublicKeyInfo compared with a pin; also checks
// the pin's form. Empty when it matches, otherwise the reason.
std::string CheckPin(const std::string& subjectPublicKeyInfo, const std::string& pin);

}  // namespace zefo
