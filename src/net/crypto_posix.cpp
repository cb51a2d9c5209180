#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "net/crypto.h"

namespace zefo {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Signature = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

// The DER of a P-256 SubjectPublicKeyInfo up to the 65 bytes of the point.
constexpr unsigned char kP256KeyPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                            0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

// Fetched once: an implicit fetch on every initialisation costs more than a
// short update.
const EVP_MD* Sha256Method() {
    static EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return method;
}

}  // namespace

struct Sha256::State {
    MdContext context{EVP_MD_CTX_new()};
    bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->ok =
        state_->context && Sha256Method() && EVP_DigestInit_ex(state_->context.get(), Sha256Method(), nullptr) == 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t length) {
    if (state_->ok && length > 0)
        state_->ok = EVP_DigestUpdate(state_->context.get(), data, length) == 1;
}

bool Sha256::Final(uint8_t digest[32]) {
    unsigned int length = 0;
    bool ok = state_->ok && EVP_DigestFinal_ex(state_->context.get(), digest, &length) == 1 && length == 32;
    state_->ok = false;
    return ok;
}

bool VerifyP256(std::string_view publicKey, std::string_view message, std::string_view signature) {
    if (publicKey.size() != 65 || publicKey[0] != 0x04 || signature.size() != 64)
        return false;
    std::string der(reinterpret_cast<const char*>(kP256KeyPrefix), sizeof kP256KeyPrefix);
    der += publicKey;
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
    // Decoding the point checks that it lies on the curve.
    Key key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())));
    if (!key)
        return false;

    Signature parts(ECDSA_SIG_new());
    const auto* raw = reinterpret_cast<const unsigned char*>(signature.data());
    BIGNUM* r = BN_bin2bn(raw, 32, nullptr);
    BIGNUM* s = BN_bin2bn(raw + 32, 32, nullptr);
    if (!parts || !r || !s || ECDSA_SIG_set0(parts.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* encoded = nullptr;
    int encodedLength = i2d_ECDSA_SIG(parts.get(), &encoded);
    if (encodedLength <= 0)
        return false;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> encodedOwner(
        encoded, [](unsigned char* bytes) { OPENSSL_free(bytes); });

    MdContext context(EVP_MD_CTX_new());
    return context &&
           EVP_DigestVerifyInit_ex(context.get(), nullptr, "SHA256", nullptr, nullptr, key.get(), nullptr) == 1 &&
           EVP_DigestVerify(context.get(), encoded, static_cast<size_t>(encodedLength),
                            reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
}

}  // namespace zefo
