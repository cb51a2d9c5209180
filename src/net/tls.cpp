#include "net/tls.h"

#include <algorithm>
#include <cstring>

#include "net/clock.h"
#include "net/crypto.h"
#include "net/tls_platform.h"

namespace zefo {

namespace detail {

const char kReasonExpired[] = "certificate has expired";
const char kReasonNotYetValid[] = "certificate is not valid yet";
const char kReasonHostName[] = "host name does not match";
const char kReasonSelfSigned[] = "self-signed certificate";
const char kReasonUnknownAuthority[] = "unknown certificate authority";
const char kReasonBadSignature[] = "certificate signature is not valid";
const char kReasonRevoked[] = "certificate has been revoked";
const char kReasonUsage[] = "certificate is not meant for a server";

bool SendAll(ServerConnection& connection, const char* bytes, size_t length) {
    while (length > 0) {
        int piece = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
        int sent = SendBytes(connection, bytes, piece);
        if (sent <= 0)
            return false;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

int ReceiveSome(ServerConnection& connection,
                uint32_t start,
                uint32_t timeoutMs,
                std::string& into,
                std::string& reason) {
    char piece[16384];
    for (;;) {
        int received = ReceiveWaiting(connection, piece, sizeof piece);
        if (received > 0) {
            into.append(piece, static_cast<size_t>(received));
            return 1;
        }
        if (received == 0) {
            reason = "the server closed the connection during the handshake";
            return 0;
        }
        if (received != kReceiveNothing) {
            reason = "the connection failed during the handshake";
            return -1;
        }
        uint32_t elapsed = MillisecondTicks() - start;
        if (elapsed >= timeoutMs) {
            reason = "the server did not complete the handshake in time";
            return -1;
        }
        WaitReadable(connection, timeoutMs - elapsed);
    }
}

}  // namespace detail

TlsConnection::TlsConnection(std::unique_ptr<State> state) : state_(std::move(state)) {}
TlsConnection::~TlsConnection() = default;

TlsPtr OpenTls(ConnectionPtr connection,
               const std::string& host,
               const std::string& pin,
               uint32_t timeoutMs,
               std::string& reason) {
    reason.clear();
    if (!connection) {
        reason = "no connection";
        return nullptr;
    }
    if (host.empty() || host.size() > 253 || host.find('\0') != std::string::npos) {
        reason = "the host name is not valid";
        return nullptr;
    }
    if (!pin.empty() && (pin.size() != 64 || HexBytes(pin).size() != 32)) {
        reason = "the pinned key is not 64 hexadecimal digits";
        return nullptr;
    }
    return detail::PlatformOpenTls(std::move(connection), host, pin, timeoutMs, reason);
}

std::string CheckPin(const std::string& subjectPublicKeyInfo, const std::string& pin) {
    std::string wanted = HexBytes(pin);
    if (wanted.size() != 32)
        return "the pinned key is not 64 hexadecimal digits";
    if (subjectPublicKeyInfo.empty() || HexBytes(Sha256Hex(subjectPublicKeyInfo)) != wanted)
        return "public key does not match the pinned key";
    return {};
}

int TlsConnection::Send(const void* bytes, int length) {
    State& state = *state_;
    if (length < 0 || state.end != 0)
        return -1;
    std::string wire;
    if (!detail::TlsEncrypt(state, static_cast<const char*>(bytes), static_cast<size_t>(length), wire) ||
        !detail::SendAll(*state.connection, wire.data(), wire.size())) {
        state.end = -1;
        return -1;
    }
    return length;
}

int TlsConnection::ReceiveWaiting(void* buffer, int capacity) {
    State& state = *state_;
    if (capacity <= 0)
        return -1;
    char piece[16384];
    for (;;) {
        size_t ready = state.plain.size() - state.plainAt;
        if (ready > 0) {
            size_t count = std::min(ready, static_cast<size_t>(capacity));
            std::memcpy(buffer, state.plain.data() + state.plainAt, count);
            state.plainAt += count;
            if (state.plainAt == state.plain.size()) {
                state.plain.clear();
                state.plainAt = 0;
            }
            return static_cast<int>(count);
        }
        if (state.end != 0)
            return state.end > 0 ? 0 : -1;
        int received = zefo::ReceiveWaiting(*state.connection, piece, sizeof piece);
        if (received == kReceiveNothing)
            return kReceiveNothing;
        if (received <= 0) {
            // A cut without the closing alert could be an attacker shortening the reply.
            state.end = received == 0 && state.incoming.empty() && detail::TlsEndedQuietly(state) ? 1 : -1;
            continue;
        }
        state.incoming.append(piece, static_cast<size_t>(received));
        detail::TlsDecrypt(state);
        if (state.end == 0 && state.incoming.size() > detail::kMaxIncoming)
            state.end = -1;
    }
}

bool TlsConnection::WaitReadable(uint32_t milliseconds) {
    State& state = *state_;
    if (state.plain.size() > state.plainAt || state.end != 0)
        return true;
    return zefo::WaitReadable(*state.connection, milliseconds);
}

}  // namespace zefo
