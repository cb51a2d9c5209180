#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/wide_text_win32.h"
#include "net/clock.h"
#include "net/tls_platform.h"

namespace zefo {

namespace detail {

struct TlsSession {
    CredHandle credentials{};
    CtxtHandle context{};
    bool haveCredentials = false;
    bool haveContext = false;
    std::wstring target;
    SecPkgContext_StreamSizes sizes{};
    bool lastRecordEmpty = false;
    ~TlsSession() {
        if (haveContext)
            DeleteSecurityContext(&context);
        if (haveCredentials)
            FreeCredentialsHandle(&credentials);
    }
};

}  // namespace detail

// Here, where the session type is complete.
TlsConnection::State::State() = default;
TlsConnection::State::~State() = default;

namespace {

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

struct CertificateOwner {
    PCCERT_CONTEXT certificate = nullptr;
    ~CertificateOwner() {
        if (certificate)
            CertFreeCertificateContext(certificate);
    }
};

struct ChainOwner {
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    ~ChainOwner() {
        if (chain)
            CertFreeCertificateChain(chain);
    }
};

// An output token Schannel allocated.
struct TokenOwner {
    SecBuffer buffer{0, SECBUFFER_TOKEN, nullptr};
    ~TokenOwner() {
        if (buffer.pvBuffer)
            FreeContextBuffer(buffer.pvBuffer);
    }
};

std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", value);
    return text;
}

// Schannel's own check of the certificate is off (it accepts anything under
// Wine anyway); the chain and the name are checked here, with the SSL policy.
bool AcquireCredentials(detail::TlsSession& session) {
    // TLS 1.3 where the system offers it; systems that refuse the flag still get 1.2.
    for (DWORD protocols : {DWORD(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT), DWORD(SP_PROT_TLS1_2_CLIENT)}) {
        SCHANNEL_CRED credentials{};
        credentials.dwVersion = SCHANNEL_CRED_VERSION;
        credentials.grbitEnabledProtocols = protocols;
        credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
        TimeStamp expiry{};
        if (AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                      &credentials, nullptr, nullptr, &session.credentials, &expiry) == SEC_E_OK) {
            session.haveCredentials = true;
            return true;
        }
    }
    return false;
}

// One step of the handshake with `input` (may be empty); sends the token
// Schannel produced and keeps in `input` only the bytes it did not use.
SECURITY_STATUS Step(TlsConnection::State& state, std::string& input, bool& sendFailed) {
    detail::TlsSession& session = *state.session;
    SecBuffer in[2] = {{static_cast<unsigned long>(input.size()), SECBUFFER_TOKEN, input.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
    TokenOwner token;
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &token.buffer};
    unsigned long attributes = 0;
    TimeStamp expiry{};
    SECURITY_STATUS status =
        InitializeSecurityContextW(&session.credentials, session.haveContext ? &session.context : nullptr,
                                   session.target.data(), kContextFlags, 0, 0, session.haveContext ? &inDesc : nullptr,
                                   0, session.haveContext ? nullptr : &session.context, &outDesc, &attributes, &expiry);
    if (!session.haveContext && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED))
        session.haveContext = true;
    if (token.buffer.cbBuffer > 0 && token.buffer.pvBuffer &&
        !detail::SendAll(*state.connection, static_cast<const char*>(token.buffer.pvBuffer), token.buffer.cbBuffer))
        sendFailed = true;
    if (status == SEC_E_INCOMPLETE_MESSAGE)
        return status;
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 && in[1].cbBuffer <= input.size())
        input.erase(0, input.size() - in[1].cbBuffer);
    else
        input.clear();
    return status;
}

// A lone certificate that signed itself, or a chain to an unknown authority.
const char* UntrustedReason(PCCERT_CHAIN_CONTEXT chain) {
    bool lone = chain->cChain == 1 && chain->rgpChain[0]->cElement == 1 &&
                (chain->rgpChain[0]->rgpElement[0]->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED);
    return lone ? detail::kReasonSelfSigned : detail::kReasonUnknownAuthority;
}

std::string ChainReason(PCCERT_CHAIN_CONTEXT chain) {
    const DWORD error = chain->TrustStatus.dwErrorStatus;
    if (error & CERT_TRUST_IS_NOT_TIME_VALID)
        return detail::kReasonExpired;
    if (error & CERT_TRUST_IS_REVOKED)
        return detail::kReasonRevoked;
    if (error & CERT_TRUST_IS_NOT_SIGNATURE_VALID)
        return detail::kReasonBadSignature;
    if (error & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
        return UntrustedReason(chain);
    if (error & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
        return detail::kReasonUsage;
    return "certificate is not trusted (chain status " + Hex(error) + ")";
}

std::string PolicyReason(DWORD error, PCCERT_CHAIN_CONTEXT chain) {
    switch (error) {
        case static_cast<DWORD>(CERT_E_EXPIRED):
            return detail::kReasonExpired;
        case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
            return detail::kReasonHostName;
        case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
        case static_cast<DWORD>(CERT_E_CHAINING):
            return UntrustedReason(chain);
        case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE):
            return detail::kReasonBadSignature;
        case static_cast<DWORD>(CRYPT_E_REVOKED):
            return detail::kReasonRevoked;
        case static_cast<DWORD>(CERT_E_WRONG_USAGE):
            return detail::kReasonUsage;
        default:
            return "certificate is not trusted (" + Hex(error) + ")";
    }
}

// The host as address bytes (4 or 16), or empty for a name.
std::string AddressBytes(const std::string& host) {
    unsigned char address[16];
    if (inet_pton(AF_INET, host.c_str(), address) == 1)
        return std::string(reinterpret_cast<const char*>(address), 4);
    if (inet_pton(AF_INET6, host.c_str(), address) == 1)
        return std::string(reinterpret_cast<const char*>(address), 16);
    return {};
}

// Whether the certificate's alternative names hold the address. Wine's SSL
// policy matches names only, so addresses are matched here on every system.
bool CertificateHasAddress(PCCERT_CONTEXT certificate, const std::string& address) {
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                  certificate->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!extension || !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address.size() &&
                std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    LocalFree(names);
    return found;
}

// The DER SubjectPublicKeyInfo of the certificate.
std::string KeyInfo(PCCERT_CONTEXT certificate) {
    BYTE* encoded = nullptr;
    DWORD length = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &certificate->pCertInfo->SubjectPublicKeyInfo,
                             CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &length))
        return {};
    std::string info(reinterpret_cast<const char*>(encoded), length);
    LocalFree(encoded);
    return info;
}

std::string VerifyServer(detail::TlsSession& session, const std::string& host, const std::string& pin) {
    SecPkgContext_ConnectionInfo connection{};
    if (QueryContextAttributesW(&session.context, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK ||
        (connection.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) == 0)
        return "the server does not offer TLS 1.2 or newer";
    CertificateOwner certificate;
    if (QueryContextAttributesW(&session.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate.certificate) !=
            SEC_E_OK ||
        !certificate.certificate)
        return "the server sent no certificate";

    char serverUsage[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverUsage};
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    ChainOwner chain;
    // The certificates the server sent beside its own serve as intermediates.
    if (!CertGetCertificateChain(nullptr, certificate.certificate, nullptr, certificate.certificate->hCertStore,
                                 &parameters, 0, nullptr, &chain.chain))
        return "the certificate chain could not be built";

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = 0;
    // An address is matched below; the policy then checks the chain alone.
    const std::string address = AddressBytes(host);
    ssl.pwszServerName = address.empty() ? session.target.data() : nullptr;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.chain, &policy, &status))
        return "the certificate chain could not be checked";
    // The chain's own verdict first: Wine's SSL policy lets a chain that ends
    // at no known root pass.
    if (chain.chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR)
        return ChainReason(chain.chain);
    if (status.dwError != 0)
        return PolicyReason(status.dwError, chain.chain);
    if (!address.empty() && !CertificateHasAddress(certificate.certificate, address))
        return detail::kReasonHostName;
    if (!pin.empty())
        return CheckPin(KeyInfo(certificate.certificate), pin);
    return {};
}

}  // namespace

namespace detail {

TlsPtr PlatformOpenTls(ConnectionPtr connection,
                       const std::string& host,
                       const std::string& pin,
                       uint32_t timeoutMs,
                       std::string& reason) {
    const uint32_t start = MillisecondTicks();
    auto state = std::make_unique<TlsConnection::State>();
    state->connection = std::move(connection);
    state->session = std::make_unique<TlsSession>();
    TlsSession& session = *state->session;
    session.target = Widen(host);
    if (session.target.empty() || !AcquireCredentials(session)) {
        reason = "TLS could not be set up";
        return nullptr;
    }
    std::string input;
    bool sendFailed = false;
    SECURITY_STATUS status = Step(*state, input, sendFailed);
    while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
        if (sendFailed) {
            reason = "the connection failed during the handshake";
            return nullptr;
        }
        // Schannel asks for more only when the input holds no whole message.
        if ((input.empty() || status == SEC_E_INCOMPLETE_MESSAGE) &&
            ReceiveSome(*state->connection, start, timeoutMs, input, reason) <= 0)
            return nullptr;
        if (input.size() > kMaxIncoming) {
            reason = "the server's handshake is too long";
            return nullptr;
        }
        status = Step(*state, input, sendFailed);
    }
    if (status != SEC_E_OK) {
        reason = status == SEC_I_INCOMPLETE_CREDENTIALS ? "the server asks for a client certificate"
                                                        : "TLS handshake failed (" + Hex(status) + ")";
        return nullptr;
    }
    reason = VerifyServer(session, host, pin);
    if (!reason.empty())
        return nullptr;
    if (QueryContextAttributesW(&session.context, SECPKG_ATTR_STREAM_SIZES, &session.sizes) != SEC_E_OK ||
        session.sizes.cbMaximumMessage == 0) {
        reason = "TLS could not be set up";
        return nullptr;
    }
    // Bytes after the handshake already belong to the first records.
    state->incoming = std::move(input);
    TlsDecrypt(*state);
    return std::make_unique<TlsConnection>(std::move(state));
}

void TlsDecrypt(TlsConnection::State& state) {
    TlsSession& session = *state.session;
    while (!state.incoming.empty() && state.end == 0) {
        SecBuffer buffers[4] = {
            {static_cast<unsigned long>(state.incoming.size()), SECBUFFER_DATA, state.incoming.data()},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = DecryptMessage(&session.context, &description, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            return;
        if (status == SEC_I_CONTEXT_EXPIRED) {
            state.end = 1;
            return;
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
            state.end = -1;
            return;
        }
        // The buffers point into `incoming`, decrypted in place.
        std::string extra;
        session.lastRecordEmpty = true;
        for (const SecBuffer& buffer : buffers) {
            if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
                state.plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
                session.lastRecordEmpty = false;
            }
            if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0)
                extra.assign(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        }
        state.incoming = std::move(extra);
        if (status == SEC_I_RENEGOTIATE) {
            // A message after the handshake (TLS 1.3 tickets, key updates) goes
            // back to the handshake function; more than one step is not expected.
            bool sendFailed = false;
            if (Step(state, state.incoming, sendFailed) != SEC_E_OK || sendFailed)
                state.end = -1;
        }
    }
}

// Windows reports the closing alert as SEC_I_CONTEXT_EXPIRED. Wine's Schannel
// decrypts it to a record without data and says nothing more, so there a
// connection that ends right after such a record ended cleanly. (Records
// without data come only at the start and the end of a session.)
bool TlsEndedQuietly(const TlsConnection::State& state) {
    return state.session->lastRecordEmpty;
}

bool TlsEncrypt(TlsConnection::State& state, const char* bytes, size_t length, std::string& wire) {
    TlsSession& session = *state.session;
    const SecPkgContext_StreamSizes& sizes = session.sizes;
    std::string record;
    while (length > 0) {
        size_t piece = length < sizes.cbMaximumMessage ? length : sizes.cbMaximumMessage;
        record.assign(sizes.cbHeader + piece + sizes.cbTrailer, '\0');
        std::memcpy(record.data() + sizes.cbHeader, bytes, piece);
        SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                                {static_cast<unsigned long>(piece), SECBUFFER_DATA, record.data() + sizes.cbHeader},
                                {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + piece},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&session.context, 0, &description, 0) != SEC_E_OK)
            return false;
        wire.append(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        bytes += piece;
        length -= piece;
    }
    return true;
}

}  // namespace detail

}  // namespace zefo
