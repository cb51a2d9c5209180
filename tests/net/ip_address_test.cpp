#include "net/ip_address.h"

#include <gtest/gtest.h>

namespace zefo::test {
namespace {

TEST(IpAddressTest, ReadsTheLiteralFormsAndNothingElse) {
    Ipv4Bytes v4{};
    EXPECT_TRUE(ParseIpv4("192.168.0.255", v4));
    EXPECT_EQ(v4, (Ipv4Bytes{192, 168, 0, 255}));
    for (const char* bad :
         {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1.2.3.4 ", "1..3.4", "a.b.c.d", "1234.1.1.1"})
        EXPECT_FALSE(ParseIpv4(bad, v4)) << bad;

    Ipv6Bytes v6{};
    ASSERT_TRUE(ParseIpv6("::1", v6));
    EXPECT_EQ(v6, (Ipv6Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    ASSERT_TRUE(ParseIpv6("::", v6));
    EXPECT_EQ(v6, Ipv6Bytes{});
    ASSERT_TRUE(ParseIpv6("2001:DB8::8:800:200c:417a", v6));
    EXPECT_EQ(v6, (Ipv6Bytes{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 8, 8, 0, 0x20, 0x0c, 0x41, 0x7a}));
    ASSERT_TRUE(ParseIpv6("fe80::", v6));
    EXPECT_EQ(v6, (Ipv6Bytes{0xfe, 0x80}));
    ASSERT_TRUE(ParseIpv6("::ffff:192.0.2.1", v6));
    EXPECT_EQ(v6, (Ipv6Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}));
    ASSERT_TRUE(ParseIpv6("1:2:3:4:5:6:7:8", v6));
    EXPECT_EQ(v6[14], 0);
    EXPECT_EQ(v6[15], 8);
    for (const char* bad : {"", ":", ":::", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "1::2::3", "1:2:3:4:5:6:7::8",
                            "12345::", "g::", "[::1]", "::1%eth0", "1::2:", ":1::2", "1.2.3.4::", "::1.2.3"})
        EXPECT_FALSE(ParseIpv6(bad, v6)) << bad;

    const uint8_t a[4] = {10, 1, 2, 3}, b[4] = {10, 1, 0x7F, 3};
    EXPECT_TRUE(SamePrefix(a, b, 4, 16));
    EXPECT_TRUE(SamePrefix(a, b, 4, 17));
    EXPECT_FALSE(SamePrefix(a, b, 4, 18));
    EXPECT_FALSE(SamePrefix(a, b, 4, 0));  // every bit
}

}  // namespace
}  // namespace zefo::test
