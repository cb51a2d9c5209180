#include "net/crypto.h"

#include "base/ascii.h"

namespace zefo {

std::string Sha256Hex(std::string_view bytes) {
    Sha256 digest;
    digest.Update(bytes.data(), bytes.size());
    return digest.FinalHex();
}

std::string Sha256::FinalHex() {
    uint8_t digest[32];
    if (!Final(digest))
        return {};
    return HexText(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string HexText(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::string HexBytes(std::string_view hex) {
    if (hex.size() % 2 != 0)
        return {};
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = HexDigitValue(hex[i]);
        int low = HexDigitValue(hex[i + 1]);
        if (high < 0 || low < 0)
            return {};
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

}  // namespace zefo
