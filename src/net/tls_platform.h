// The platform half of tls.h: the shared buffers of a session, and the
// handshake, encryption and decryption each platform provides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/tls.h"

namespace zefo {

namespace detail {
struct TlsSession;  // Schannel or OpenSSL objects of one session
}

struct TlsConnection::State {
    ConnectionPtr connection;
    std::unique_ptr<detail::TlsSession> session;
    std::string incoming;  // received bytes not yet decrypted
    std::string plain;     // decrypted bytes from plainAt on not yet handed out
    size_t plainAt = 0;
    int end = 0;  // 0 while open, 1 after the peer's closing alert, -1 after a failure

    // Defined by the platform, where the session type is complete.

    State();
    ~State();
};

namespace detail {

// Undecrypted bytes beyond this mean the peer is not sending whole records.
constexpr size_t kMaxIncoming = 1u << 20;

// Handshake and verification for OpenTls, after its checks of the arguments.
TlsPtr PlatformOpenTls(ConnectionPtr connection,
                       const std::string& host,
                       const std::string& pin,
                       uint32_t timeoutMs,
                       std::string& reason);
// Decrypts every whole record of state.incoming into state.plain; sets
// state.end on the closing alert or an error. May send (post-handshake replies).
void TlsDecrypt(TlsConnection::State& state);
// True when a connection that has just ended without the closing alert
// still ended the session cleanly (see the Windows file).
bool TlsEndedQuietly(const TlsConnection::State& state);
// The records that carry `length` bytes, appended to `wire`; false on failure.
bool TlsEncrypt(TlsConnection::State& state, const char* bytes, size_t length, std::string& wire);

// Shared by both platforms' handshakes.
// Sends every byte; false on failure.
bool SendAll(ServerConnection& connection, const char* bytes, size_t length);
// Appends what arrives to `into`, waiting at most until `timeoutMs` after
// `start` (MillisecondTicks): 1 when bytes came, 0 when the peer closed, -1 on
// error or time-out (`reason` says which).
int ReceiveSome(ServerConnection& connection,
                uint32_t start,
                uint32_t timeoutMs,
                std::string& into,
                std::string& reason);
// Reason texts for verification failures both platforms report.
extern const char kReasonExpired[];
extern const char kReasonNotYetValid[];
extern const char kReasonHostName[];
extern const char kReasonSelfSigned[];
extern const char kReasonUnknownAuthority[];
extern const char kReasonBadSignature[];
extern const char kReasonRevoked[];
extern const char kReasonUsage[];

}  // namespace detail

}  // namespace zefo
