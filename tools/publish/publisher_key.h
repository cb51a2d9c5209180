// The publisher's signing key: an ECDSA P-256 key pair made and used with
// OpenSSL. Native (POSIX) only. Nothing here throws.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace zefo::tools {

// Makes a key pair and writes the private key (PEM) into a new file at `path`
// with mode 0600; an existing file is never replaced. Empty on success with
// `publicKeyHex` the 130 hexadecimal digits of the public point (04, X, Y),
// otherwise the reason.
std::string GenerateKey(const std::string& path, std::string& publicKeyHex);

class SigningKey {
  public:
    // The key in the PEM file at `path`; empty with a reason unless it is a
    // P-256 private key.
    static std::unique_ptr<SigningKey> Load(const std::string& path, std::string& reason);
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    // The 64-byte signature (r then s) of SHA-256(`message`), empty on failure.
    std::string Sign(std::string_view message) const;
    // 130 hexadecimal digits of the public point.
    std::string PublicKeyHex() const;

    struct Key;

  private:
    explicit SigningKey(std::unique_ptr<Key> key);
    std::unique_ptr<Key> key_;
};

}  // namespace zefo::tools
