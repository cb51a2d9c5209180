#include "publish/publisher_key.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/crypto.h"

namespace zefo::tools {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using ContextPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using SignaturePtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

std::string PublicPointHex(EVP_PKEY* key) {
    unsigned char point[65];
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point, sizeof point, &length) != 1 ||
        length != sizeof point || point[0] != 0x04)
        return {};
    return HexText(std::string_view(reinterpret_cast<const char*>(point), length));
}

bool IsP256(EVP_PKEY* key) {
    char group[64] = {};
    size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) == 1 &&
           std::strcmp(group, "prime256v1") == 0;
}

}  // namespace

struct SigningKey::Key {
    KeyPtr key;
};

std::string GenerateKey(const std::string& path, std::string& publicKeyHex) {
    KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key)
        return "the key pair could not be made";
    publicKeyHex = PublicPointHex(key.get());
    if (publicKeyHex.empty())
        return "the public key could not be read";
    // O_EXCL: a key that signs published lists must never be lost to a typo.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return path + ": " + (errno == EEXIST ? "exists already; it is never replaced" : std::strerror(errno));
    FILE* file = ::fdopen(fd, "w");
    if (!file) {
        ::close(fd);
        ::unlink(path.c_str());
        return path + ": cannot be written";
    }
    BioPtr out(BIO_new_fp(file, BIO_CLOSE));
    if (!out) {
        std::fclose(file);
        ::unlink(path.c_str());
        return path + ": cannot be written";
    }
    bool written = PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
                   BIO_flush(out.get()) == 1 && ::fsync(fd) == 0;
    out.reset();
    if (!written) {
        ::unlink(path.c_str());
        return path + ": cannot be written";
    }
    return {};
}

SigningKey::SigningKey(std::unique_ptr<Key> key) : key_(std::move(key)) {}
SigningKey::~SigningKey() = default;

std::unique_ptr<SigningKey> SigningKey::Load(const std::string& path, std::string& reason) {
    BioPtr in(BIO_new_file(path.c_str(), "r"));
    if (!in) {
        reason = path + ": cannot be read";
        return nullptr;
    }
    auto key = std::make_unique<Key>();
    key->key.reset(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
    if (!key->key || !IsP256(key->key.get())) {
        reason = path + ": holds no P-256 private key (make one with: zefo_publish keygen FILE)";
        return nullptr;
    }
    return std::unique_ptr<SigningKey>(new SigningKey(std::move(key)));
}

std::string SigningKey::Sign(std::string_view message) const {
    ContextPtr context(EVP_MD_CTX_new());
    size_t length = 0;
    if (!context ||
        EVP_DigestSignInit_ex(context.get(), nullptr, "SHA256", nullptr, nullptr, key_->key.get(), nullptr) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1)
        return {};
    std::string der(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(der.data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
        return {};
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
    SignaturePtr signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
    if (!signature)
        return {};
    std::string raw(64, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(raw.data());
    if (BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), bytes, 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), bytes + 32, 32) != 32)
        return {};
    return raw;
}

std::string SigningKey::PublicKeyHex() const {
    return PublicPointHex(key_->key.get());
}

}  // namespace zefo::tools
