// MD5 message digest (RFC 1321).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zefo {

class Md5 {
  public:
    Md5();
    void Update(const void* data, size_t length);
    // Finishes the digest; the object must not be updated afterwards.
    void Final(uint8_t digest[16]);
    // Finishes and returns 32 lowercase hexadecimal digits.
    std::string FinalHex();

  private:
    void Transform(const uint8_t* block);
    uint32_t state_[4];
    uint64_t length_ = 0;
    uint8_t buffer_[64];
    size_t buffered_ = 0;
};

}  // namespace zefo
