#include "net/network_options.h"

#include <gtest/gtest.h>

namespace zefo {
namespace {

TEST(NetworkOptions, ProxyAndLimitTextsAreCheckedAsTheFrontEndsTakeThem) {
    for (const char* good :
         {"", "  ", "none", " NONE ", "http://proxy.example:3128", "proxy:8080", "http://user:p%40ss@[::1]:3128/"})
        EXPECT_TRUE(IsProxySetting(good)) << good;
    for (const char* bad : {"no proxy", "socks5://proxy:1080", "https://proxy:443", "http://:3128", "proxy:99999"})
        EXPECT_FALSE(IsProxySetting(bad)) << bad;

    uint64_t rate = 7;
    EXPECT_TRUE(ParseLimitSetting("", rate));
    EXPECT_EQ(rate, 0u);
    EXPECT_TRUE(ParseLimitSetting(" 1.5M ", rate));
    EXPECT_EQ(rate, 1572864u);
    for (const char* bad : {"fast", "-1", "1x", "1 k", "k"})
        EXPECT_FALSE(ParseLimitSetting(bad, rate)) << bad;

    EXPECT_EQ(MakeLimiter("500k")->rate(), 512000u);
    // A text that cannot be read limits nothing.
    EXPECT_EQ(MakeLimiter("fast")->rate(), 0u);
}

}  // namespace
}  // namespace zefo
