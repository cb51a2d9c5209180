#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "net/clock.h"
#include "net/tls_platform.h"

namespace zefo {

namespace detail {

struct TlsSession {
    SSL* ssl = nullptr;  // owns both memory buffers and holds its context
    BIO* in = nullptr;
    BIO* out = nullptr;
    ~TlsSession() { SSL_free(ssl); }
};

}  // namespace detail

// Here, where the session type is complete.
TlsConnection::State::State() = default;
TlsConnection::State::~State() = default;

namespace {

std::string VerifyReason(long code) {
    switch (code) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return detail::kReasonExpired;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return detail::kReasonNotYetValid;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return detail::kReasonHostName;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
            return detail::kReasonSelfSigned;
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return detail::kReasonUnknownAuthority;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return detail::kReasonBadSignature;
        case X509_V_ERR_CERT_REVOKED:
            return detail::kReasonRevoked;
        case X509_V_ERR_INVALID_PURPOSE:
            return detail::kReasonUsage;
        default:
            return std::string("certificate is not trusted: ") + X509_verify_cert_error_string(code);
    }
}

std::string LibraryReason() {
    unsigned long code = ERR_get_error();
    const char* text = code ? ERR_reason_error_string(code) : nullptr;
    return std::string("TLS handshake failed") + (text ? std::string(": ") + text : std::string());
}

// Moves what OpenSSL wrote into its output buffer to `wire`.
void TakeOutput(detail::TlsSession& session, std::string& wire) {
    char piece[16384];
    for (;;) {
        int count = BIO_read(session.out, piece, sizeof piece);
        if (count <= 0)
            return;
        wire.append(piece, static_cast<size_t>(count));
    }
}

bool Flush(TlsConnection::State& state) {
    std::string wire;
    TakeOutput(*state.session, wire);
    return detail::SendAll(*state.connection, wire.data(), wire.size());
}

bool IsAddress(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Reading the system's trusted authorities costs far more than a handshake with
// a near server, so one context serves every connection. It is made again when
// SSL_CERT_FILE or SSL_CERT_DIR changed (tests point them at their own).
// Returns a new reference, or nullptr.
SSL_CTX* SharedContext() {
    static std::mutex lock;
    static std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context(nullptr, SSL_CTX_free);
    static std::string madeFor;
    const std::string paths = Environment("SSL_CERT_FILE") + '\n' + Environment("SSL_CERT_DIR");
    std::lock_guard guard(lock);
    if (!context || paths != madeFor) {
        std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> made(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
        if (!made || SSL_CTX_set_min_proto_version(made.get(), TLS1_2_VERSION) != 1 ||
            SSL_CTX_set_default_verify_paths(made.get()) != 1)
            return nullptr;
        SSL_CTX_set_verify(made.get(), SSL_VERIFY_PEER, nullptr);
        context = std::move(made);
        madeFor = paths;
    }
    SSL_CTX_up_ref(context.get());
    return context.get();
}

bool Configure(detail::TlsSession& session, const std::string& host) {
    SSL_CTX* context = SharedContext();
    if (!context)
        return false;
    session.ssl = SSL_new(context);
    SSL_CTX_free(context);  // the session holds its own reference
    if (!session.ssl)
        return false;
    session.in = BIO_new(BIO_s_mem());
    session.out = BIO_new(BIO_s_mem());
    if (!session.in || !session.out) {
        BIO_free(session.in);
        BIO_free(session.out);
        return false;
    }
    // An empty input buffer means "more to come", not the end of the stream.
    BIO_set_mem_eof_return(session.in, -1);
    SSL_set_bio(session.ssl, session.in, session.out);
    SSL_set_connect_state(session.ssl);
    // An address is matched against the certificate's addresses and sent
    // without a server name, which must not be an address.
    if (IsAddress(host))
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session.ssl), host.c_str()) == 1;
    return SSL_set_tlsext_host_name(session.ssl, host.c_str()) == 1 && SSL_set1_host(session.ssl, host.c_str()) == 1;
}

std::string PeerKeyInfo(SSL* ssl) {
    X509* certificate = SSL_get0_peer_certificate(ssl);
    if (!certificate)
        return {};
    unsigned char* der = nullptr;
    int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    if (length <= 0)
        return {};
    std::string info(reinterpret_cast<char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    return info;
}

}  // namespace

namespace detail {

TlsPtr PlatformOpenTls(ConnectionPtr connection,
                       const std::string& host,
                       const std::string& pin,
                       uint32_t timeoutMs,
                       std::string& reason) {
    const uint32_t start = MillisecondTicks();
    ERR_clear_error();
    auto state = std::make_unique<TlsConnection::State>();
    state->connection = std::move(connection);
    state->session = std::make_unique<TlsSession>();
    TlsSession& session = *state->session;
    if (!Configure(session, host)) {
        reason = "TLS could not be set up";
        return nullptr;
    }
    for (;;) {
        int result = SSL_do_handshake(session.ssl);
        bool sent = Flush(*state);
        if (result == 1)
            break;
        int error = SSL_get_error(session.ssl, result);
        if (error != SSL_ERROR_WANT_READ) {
            long verified = SSL_get_verify_result(session.ssl);
            reason = verified != X509_V_OK ? VerifyReason(verified) : LibraryReason();
            return nullptr;
        }
        if (!sent) {
            reason = "the connection failed during the handshake";
            return nullptr;
        }
        std::string received;
        if (ReceiveSome(*state->connection, start, timeoutMs, received, reason) <= 0)
            return nullptr;
        BIO_write(session.in, received.data(), static_cast<int>(received.size()));
    }
    long verified = SSL_get_verify_result(session.ssl);
    if (verified != X509_V_OK) {
        reason = VerifyReason(verified);
        return nullptr;
    }
    if (!pin.empty()) {
        reason = CheckPin(PeerKeyInfo(session.ssl), pin);
        if (!reason.empty())
            return nullptr;
    }
    return std::make_unique<TlsConnection>(std::move(state));
}

void TlsDecrypt(TlsConnection::State& state) {
    TlsSession& session = *state.session;
    if (!state.incoming.empty()) {
        if (BIO_write(session.in, state.incoming.data(), static_cast<int>(state.incoming.size())) !=
            static_cast<int>(state.incoming.size())) {
            state.end = -1;
            return;
        }
        state.incoming.clear();
    }
    char piece[16384];
    ERR_clear_error();
    for (;;) {
        int count = SSL_read(session.ssl, piece, sizeof piece);
        if (count > 0) {
            state.plain.append(piece, static_cast<size_t>(count));
            continue;
        }
        int error = SSL_get_error(session.ssl, count);
        if (error == SSL_ERROR_ZERO_RETURN)
            state.end = 1;
        else if (error != SSL_ERROR_WANT_READ)
            state.end = -1;
        break;
    }
    // Reading may have produced replies (a key update, say).
    if (BIO_ctrl_pending(session.out) > 0 && !Flush(state))
        state.end = -1;
}

// OpenSSL reports the closing alert itself.
bool TlsEndedQuietly(const TlsConnection::State&) {
    return false;
}

bool TlsEncrypt(TlsConnection::State& state, const char* bytes, size_t length, std::string& wire) {
    TlsSession& session = *state.session;
    while (length > 0) {
        int piece = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
        ERR_clear_error();
        int written = SSL_write(session.ssl, bytes, piece);
        if (written <= 0)
            return false;
        TakeOutput(session, wire);
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace detail

}  // namespace zefo
