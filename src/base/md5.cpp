#include "base/md5.h"

#include <bit>
#include <cstring>

namespace zefo {

namespace {

inline uint32_t Load32(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t value;
        std::memcpy(&value, p, 4);
        return value;
    } else {
        return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    }
}

inline void Store32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

// The four auxiliary functions, in forms with fewer operations or a shorter
// dependency chain than the textbook ones (same results bit for bit).
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return z ^ (x & (y ^ z));
}
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    // (x & z) and (y & ~z) share no bits, so the sum equals the or and does not
    // wait for both halves before the next addition.
    return (x & z) + (y & ~z);
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

#define ZEFO_MD5_STEP(f, a, b, c, d, x, s, t) \
    do {                                      \
        (a) += f((b), (c), (d)) + (x) + (t);  \
        (a) = std::rotl((a), (s)) + (b);      \
    } while (0)

// Runs the compression function over `blocks` consecutive 64-byte blocks.
void Compress(uint32_t state[4], const uint8_t* data, size_t blocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks > 0; --blocks, data += 64) {
        const uint32_t x0 = Load32(data), x1 = Load32(data + 4), x2 = Load32(data + 8), x3 = Load32(data + 12);
        const uint32_t x4 = Load32(data + 16), x5 = Load32(data + 20), x6 = Load32(data + 24), x7 = Load32(data + 28);
        const uint32_t x8 = Load32(data + 32), x9 = Load32(data + 36), x10 = Load32(data + 40), x11 = Load32(data + 44);
        const uint32_t x12 = Load32(data + 48), x13 = Load32(data + 52), x14 = Load32(data + 56),
                       x15 = Load32(data + 60);
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        ZEFO_MD5_STEP(F, a, b, c, d, x0, 7, 0xd76aa478);
        ZEFO_MD5_STEP(F, d, a, b, c, x1, 12, 0xe8c7b756);
        ZEFO_MD5_STEP(F, c, d, a, b, x2, 17, 0x242070db);
        ZEFO_MD5_STEP(F, b, c, d, a, x3, 22, 0xc1bdceee);
        ZEFO_MD5_STEP(F, a, b, c, d, x4, 7, 0xf57c0faf);
        ZEFO_MD5_STEP(F, d, a, b, c, x5, 12, 0x4787c62a);
        ZEFO_MD5_STEP(F, c, d, a, b, x6, 17, 0xa8304613);
        ZEFO_MD5_STEP(F, b, c, d, a, x7, 22, 0xfd469501);
        ZEFO_MD5_STEP(F, a, b, c, d, x8, 7, 0x698098d8);
        ZEFO_MD5_STEP(F, d, a, b, c, x9, 12, 0x8b44f7af);
        ZEFO_MD5_STEP(F, c, d, a, b, x10, 17, 0xffff5bb1);
        ZEFO_MD5_STEP(F, b, c, d, a, x11, 22, 0x895cd7be);
        ZEFO_MD5_STEP(F, a, b, c, d, x12, 7, 0x6b901122);
        ZEFO_MD5_STEP(F, d, a, b, c, x13, 12, 0xfd987193);
        ZEFO_MD5_STEP(F, c, d, a, b, x14, 17, 0xa679438e);
        ZEFO_MD5_STEP(F, b, c, d, a, x15, 22, 0x49b40821);

        ZEFO_MD5_STEP(G, a, b, c, d, x1, 5, 0xf61e2562);
        ZEFO_MD5_STEP(G, d, a, b, c, x6, 9, 0xc040b340);
        ZEFO_MD5_STEP(G, c, d, a, b, x11, 14, 0x265e5a51);
        ZEFO_MD5_STEP(G, b, c, d, a, x0, 20, 0xe9b6c7aa);
        ZEFO_MD5_STEP(G, a, b, c, d, x5, 5, 0xd62f105d);
        ZEFO_MD5_STEP(G, d, a, b, c, x10, 9, 0x02441453);
        ZEFO_MD5_STEP(G, c, d, a, b, x15, 14, 0xd8a1e681);
        ZEFO_MD5_STEP(G, b, c, d, a, x4, 20, 0xe7d3fbc8);
        ZEFO_MD5_STEP(G, a, b, c, d, x9, 5, 0x21e1cde6);
        ZEFO_MD5_STEP(G, d, a, b, c, x14, 9, 0xc33707d6);
        ZEFO_MD5_STEP(G, c, d, a, b, x3, 14, 0xf4d50d87);
        ZEFO_MD5_STEP(G, b, c, d, a, x8, 20, 0x455a14ed);
        ZEFO_MD5_STEP(G, a, b, c, d, x13, 5, 0xa9e3e905);
        ZEFO_MD5_STEP(G, d, a, b, c, x2, 9, 0xfcefa3f8);
        ZEFO_MD5_STEP(G, c, d, a, b, x7, 14, 0x676f02d9);
        ZEFO_MD5_STEP(G, b, c, d, a, x12, 20, 0x8d2a4c8a);

        ZEFO_MD5_STEP(H, a, b, c, d, x5, 4, 0xfffa3942);
        ZEFO_MD5_STEP(H, d, a, b, c, x8, 11, 0x8771f681);
        ZEFO_MD5_STEP(H, c, d, a, b, x11, 16, 0x6d9d6122);
        ZEFO_MD5_STEP(H, b, c, d, a, x14, 23, 0xfde5380c);
        ZEFO_MD5_STEP(H, a, b, c, d, x1, 4, 0xa4beea44);
        ZEFO_MD5_STEP(H, d, a, b, c, x4, 11, 0x4bdecfa9);
        ZEFO_MD5_STEP(H, c, d, a, b, x7, 16, 0xf6bb4b60);
        ZEFO_MD5_STEP(H, b, c, d, a, x10, 23, 0xbebfbc70);
        ZEFO_MD5_STEP(H, a, b, c, d, x13, 4, 0x289b7ec6);
        ZEFO_MD5_STEP(H, d, a, b, c, x0, 11, 0xeaa127fa);
        ZEFO_MD5_STEP(H, c, d, a, b, x3, 16, 0xd4ef3085);
        ZEFO_MD5_STEP(H, b, c, d, a, x6, 23, 0x04881d05);
        ZEFO_MD5_STEP(H, a, b, c, d, x9, 4, 0xd9d4d039);
        ZEFO_MD5_STEP(H, d, a, b, c, x12, 11, 0xe6db99e5);
        ZEFO_MD5_STEP(H, c, d, a, b, x15, 16, 0x1fa27cf8);
        ZEFO_MD5_STEP(H, b, c, d, a, x2, 23, 0xc4ac5665);

        ZEFO_MD5_STEP(I, a, b, c, d, x0, 6, 0xf4292244);
        ZEFO_MD5_STEP(I, d, a, b, c, x7, 10, 0x432aff97);
        ZEFO_MD5_STEP(I, c, d, a, b, x14, 15, 0xab9423a7);
        ZEFO_MD5_STEP(I, b, c, d, a, x5, 21, 0xfc93a039);
        ZEFO_MD5_STEP(I, a, b, c, d, x12, 6, 0x655b59c3);
        ZEFO_MD5_STEP(I, d, a, b, c, x3, 10, 0x8f0ccc92);
        ZEFO_MD5_STEP(I, c, d, a, b, x10, 15, 0xffeff47d);
        ZEFO_MD5_STEP(I, b, c, d, a, x1, 21, 0x85845dd1);
        ZEFO_MD5_STEP(I, a, b, c, d, x8, 6, 0x6fa87e4f);
        ZEFO_MD5_STEP(I, d, a, b, c, x15, 10, 0xfe2ce6e0);
        ZEFO_MD5_STEP(I, c, d, a, b, x6, 15, 0xa3014314);
        ZEFO_MD5_STEP(I, b, c, d, a, x13, 21, 0x4e0811a1);
        ZEFO_MD5_STEP(I, a, b, c, d, x4, 6, 0xf7537e82);
        ZEFO_MD5_STEP(I, d, a, b, c, x11, 10, 0xbd3af235);
        ZEFO_MD5_STEP(I, c, d, a, b, x2, 15, 0x2ad7d2bb);
        ZEFO_MD5_STEP(I, b, c, d, a, x9, 21, 0xeb86d391);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef ZEFO_MD5_STEP

}  // namespace

Md5::Md5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, buffer_{} {}

void Md5::Transform(const uint8_t* block) {
    Compress(state_, block, 1);
}

void Md5::Update(const void* data, size_t length) {
    if (length == 0)
        return;
    auto input = static_cast<const uint8_t*>(data);
    length_ += length;
    if (buffered_ > 0) {
        size_t take = 64 - buffered_;
        if (take > length)
            take = length;
        std::memcpy(buffer_ + buffered_, input, take);
        buffered_ += take;
        input += take;
        length -= take;
        if (buffered_ < 64)
            return;
        Transform(buffer_);
        buffered_ = 0;
    }
    // Whole blocks straight from the caller's memory.
    const size_t blocks = length / 64;
    if (blocks > 0) {
        Compress(state_, input, blocks);
        input += blocks * 64;
        length -= blocks * 64;
    }
    if (length > 0) {
        std::memcpy(buffer_, input, length);
        buffered_ = length;
    }
}

void Md5::Final(uint8_t digest[16]) {
    // The message length in bits, modulo 2^64, as RFC 1321 defines it.
    const uint64_t bits = length_ << 3;
    uint8_t padding[64] = {0x80};
    const size_t padLength = (buffered_ < 56) ? 56 - buffered_ : 120 - buffered_;
    uint8_t lengthBytes[8];
    for (int i = 0; i < 8; ++i)
        lengthBytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    Update(padding, padLength);
    Update(lengthBytes, 8);
    for (int i = 0; i < 4; ++i)
        Store32(digest + 4 * i, state_[i]);
}

std::string Md5::FinalHex() {
    static const char kDigits[] = "0123456789abcdef";
    uint8_t digest[16];
    Final(digest);
    std::string text(32, '0');
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    return text;
}

}  // namespace zefo
