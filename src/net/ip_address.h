// Literal IP addresses in text: the dotted IPv4 form and the IPv6 forms, read
// without any lookup and the same on every platform.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace zefo {

using Ipv4Bytes = std::array<uint8_t, 4>;
using Ipv6Bytes = std::array<uint8_t, 16>;

// Reads four decimal parts of 0 to 255 ("192.168.0.1"); false for anything else.
bool ParseIpv4(std::string_view text, Ipv4Bytes& address);

// Reads an IPv6 address as RFC 4291 writes it (eight groups, "::" for a run of zero
// groups, a dotted IPv4 address as the last 32 bits), without brackets or zone;
// false for anything else.
bool ParseIpv6(std::string_view text, Ipv6Bytes& address);

// True when the first `bits` bits of the two addresses agree (all bits when `bits`
// is 0 or larger than the address).
bool SamePrefix(const uint8_t* a, const uint8_t* b, size_t size, unsigned bits);

}  // namespace zefo
