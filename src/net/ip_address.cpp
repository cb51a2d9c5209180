#include "net/ip_address.h"

#include "base/ascii.h"

namespace zefo {

bool ParseIpv4(std::string_view text, Ipv4Bytes& address) {
    size_t at = 0;
    for (size_t part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.')
                return false;
            ++at;
        }
        size_t digits = 0;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
            ++digits;
        }
        // "01" is not accepted: some readers take a leading zero for octal.
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[at - digits] == '0'))
            return false;
        address[part] = static_cast<uint8_t>(value);
    }
    return at == text.size();
}

bool ParseIpv6(std::string_view text, Ipv6Bytes& address) {
    address.fill(0);
    size_t groups = 0;  // 16-bit groups written so far
    int gap = -1;       // the group index where "::" stands
    size_t at = 0;
    if (text.size() >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        at = 2;
    } else if (!text.empty() && text[0] == ':') {
        return false;
    }
    while (at < text.size()) {
        if (groups >= 8)
            return false;
        // A dotted IPv4 tail takes the last two groups.
        size_t end = text.find(':', at);
        std::string_view piece = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        if (end == std::string_view::npos && piece.find('.') != std::string_view::npos) {
            Ipv4Bytes tail{};
            if (groups > 6 || !ParseIpv4(piece, tail))
                return false;
            for (size_t i = 0; i < tail.size(); ++i)
                address[groups * 2 + i] = tail[i];
            groups += 2;
            at = text.size();
            break;
        }
        if (piece.empty() || piece.size() > 4)
            return false;
        unsigned value = 0;
        for (char c : piece) {
            int digit = HexDigitValue(c);
            if (digit < 0)
                return false;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        address[groups * 2] = static_cast<uint8_t>(value >> 8);
        address[groups * 2 + 1] = static_cast<uint8_t>(value & 0xFF);
        ++groups;
        if (end == std::string_view::npos) {
            at = text.size();
            break;
        }
        at = end + 1;
        if (at < text.size() && text[at] == ':') {
            if (gap >= 0)
                return false;  // a second "::"
            gap = static_cast<int>(groups);
            ++at;
        } else if (at == text.size()) {
            return false;  // a single ":" at the end
        }
    }
    if (gap < 0)
        return groups == 8;
    if (groups > 7)
        return false;
    // Move the groups after "::" to the end; zeros fill the gap.
    const size_t after = groups - static_cast<size_t>(gap);
    const size_t shift = 8 - groups;
    for (size_t i = 0; i < after * 2; ++i) {
        size_t from = groups * 2 - 1 - i;
        address[from + shift * 2] = address[from];
        address[from] = 0;
    }
    return true;
}

bool SamePrefix(const uint8_t* a, const uint8_t* b, size_t size, unsigned bits) {
    if (bits == 0 || bits > size * 8)
        bits = static_cast<unsigned>(size * 8);
    size_t whole = bits / 8;
    for (size_t i = 0; i < whole; ++i) {
        if (a[i] != b[i])
            return false;
    }
    unsigned rest = bits % 8;
    if (rest == 0)
        return true;
    uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace zefo
