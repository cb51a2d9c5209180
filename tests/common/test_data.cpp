#include "common/test_data.h"

#include "base/md5.h"

namespace zefo::test {

std::string Pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>((x >> 16) & 0xff);
    }
    return bytes;
}

std::string Md5Of(const std::string& bytes) {
    Md5 md5;
    md5.Update(bytes.data(), bytes.size());
    return md5.FinalHex();
}

}  // namespace zefo::test
