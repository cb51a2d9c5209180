#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "net/crypto.h"

namespace zefo {

namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

// One provider per algorithm for the whole process: opening one costs far more
// than hashing a short piece. Never closed; the process ends with it.
BCRYPT_ALG_HANDLE Provider(const wchar_t* algorithm) {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0)))
        return nullptr;
    return handle;
}

BCRYPT_ALG_HANDLE Sha256Provider() {
    static const BCRYPT_ALG_HANDLE provider = Provider(BCRYPT_SHA256_ALGORITHM);
    return provider;
}

BCRYPT_ALG_HANDLE EcdsaProvider() {
    static const BCRYPT_ALG_HANDLE provider = Provider(BCRYPT_ECDSA_P256_ALGORITHM);
    return provider;
}

class KeyHandle {
  public:
    KeyHandle() = default;
    ~KeyHandle() {
        if (handle_)
            BCryptDestroyKey(handle_);
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    BCRYPT_KEY_HANDLE* out() { return &handle_; }
    BCRYPT_KEY_HANDLE get() const { return handle_; }

  private:
    BCRYPT_KEY_HANDLE handle_ = nullptr;
};

}  // namespace

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;
    ~State() {
        if (hash)
            BCryptDestroyHash(hash);
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    BCRYPT_ALG_HANDLE provider = Sha256Provider();
    // A null object buffer lets CNG keep the hash state itself.
    state_->ok = provider && Succeeded(BCryptCreateHash(provider, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t length) {
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (state_->ok && length > 0) {
        ULONG piece = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        state_->ok = Succeeded(BCryptHashData(state_->hash, bytes, piece, 0));
        bytes += piece;
        length -= piece;
    }
}

bool Sha256::Final(uint8_t digest[32]) {
    bool ok = state_->ok && Succeeded(BCryptFinishHash(state_->hash, digest, 32, 0));
    state_->ok = false;
    return ok;
}

bool VerifyP256(std::string_view publicKey, std::string_view message, std::string_view signature) {
    if (publicKey.size() != 65 || publicKey[0] != 0x04 || signature.size() != 64 || !EcdsaProvider())
        return false;
    std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 64);
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, publicKey.data() + 1, 64);
    KeyHandle key;
    // The import refuses a point that is not on the curve.
    if (!Succeeded(BCryptImportKeyPair(EcdsaProvider(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(), blob.data(),
                                       static_cast<ULONG>(blob.size()), 0)))
        return false;
    Sha256 hash;
    hash.Update(message.data(), message.size());
    uint8_t digest[32];
    if (!hash.Final(digest))
        return false;
    std::vector<UCHAR> rs(signature.begin(), signature.end());
    // Only STATUS_SUCCESS means valid; any other status, informational or not, refuses.
    return BCryptVerifySignature(key.get(), nullptr, digest, sizeof digest, rs.data(), 64, 0) == 0;
}

}  // namespace zefo
