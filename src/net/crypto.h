// SHA-256 and ECDSA P-256 verification, from the platform's cryptography (CNG
// on Windows, OpenSSL elsewhere). Nothing here throws; a failure of the
// platform gives an empty digest or a refused signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zefo {

// A streaming SHA-256 digest. Cheap to update in pieces of any size.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, size_t length);
    // Finishes the digest into 32 bytes; false when the platform failed. The
    // object must not be updated afterwards.
    bool Final(uint8_t digest[32]);
    // Finishes and returns 64 lowercase hexadecimal digits, or empty on failure.
    std::string FinalHex();

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// 64 lowercase hexadecimal digits of the bytes' SHA-256 (empty on failure).
std::string Sha256Hex(std::string_view bytes);

// True when `signature` (64 bytes: r then s, each 32 bytes big-endian) is a
// valid ECDSA P-256 signature of SHA-256(`message`) by `publicKey` (65 bytes:
// 0x04, X, Y). False for every malformed input.
bool VerifyP256(std::string_view publicKey, std::string_view message, std::string_view signature);

// Lowercase hexadecimal text of bytes, and back (empty on any non-hex digit or
// an odd length).
std::string HexText(std::string_view bytes);
std::string HexBytes(std::string_view hex);

}  // namespace zefo
