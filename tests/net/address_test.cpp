// Server texts and URLs: where each leads and what a request sends.
#include "net/address.h"

#include <gtest/gtest.h>

#include <string>

namespace zefo::test {
namespace {

TEST(UrlEncodePathTest, OnlySpacesChange) {
    EXPECT_EQ(UrlEncodePath("http://updates.example/My Game/data/big map.pak"),
              "http://updates.example/My%20Game/data/big%20map.pak");
    EXPECT_EQ(UrlEncodePath("http://updates.example/game/data\\a.pak"), "http://updates.example/game/data\\a.pak");
    EXPECT_EQ(UrlEncodePath("100% \xc3\xa4+#?"), "100%%20\xc3\xa4+#?");
    EXPECT_EQ(UrlEncodePath("  "), "%20%20");
    EXPECT_EQ(UrlEncodePath(""), "");
}

TEST(AddressTest, UrlsGiveTheAddressAndTheBytesOfTheTarget) {
    struct Case {
        const char* url;
        const char* host;
        uint16_t port;
        bool tls;
        const char* target;
    };
    const Case cases[] = {
        {"http://h/a/b.pak", "h", 80, false, "a/b.pak"},
        {"HTTPS://h/x", "h", 443, true, "x"},
        {"https://h:/x", "h", 443, true, "x"},
        {"https://h:8443", "h", 8443, true, ""},
        {"http://user:secret@h:81/x?y#z", "h", 81, false, "x?y#z"},
        {"http://h/\xc3\xa4", "h", 80, false, "\xe4"},  // the code page of requests (Windows-1252 here)
    };
    for (const Case& c : cases) {
        Location location;
        ASSERT_TRUE(ParseUrl(c.url, location)) << c.url;
        EXPECT_EQ(location.address.host, c.host) << c.url;
        EXPECT_EQ(location.address.port, c.port) << c.url;
        EXPECT_EQ(location.address.tls, c.tls) << c.url;
        EXPECT_EQ(location.target, c.target) << c.url;
    }
    for (const char* refused : {"h/x", "ftp://h/x", "http:///x", "http://:81/x", "http://u@/x", "http://h/a\r\nX: y",
                                "http://h/\x7f", "http://h/\xff"}) {
        Location location;
        EXPECT_FALSE(ParseUrl(refused, location)) << refused;
    }
}

TEST(AddressTest, AListedFileIsLocatedFromTheServerTextWithoutAUrl) {
    struct Case {
        const char* server;
        const char* host;
        uint16_t port;
        bool tls;
    };
    const Case cases[] = {
        {"updates.example", "updates.example", 80, false},
        {"updates.example:8080", "updates.example", 8080, false},
        {"Https://updates.example/ignored/part", "updates.example", 443, true},
        {"http://someone@updates.example:81", "updates.example", 81, false},
    };
    for (const Case& c : cases) {
        Location location;
        ASSERT_TRUE(LocateFile(c.server, "pin", "My Game", "data/big map.pak", location)) << c.server;
        EXPECT_EQ(location.address.host, c.host) << c.server;
        EXPECT_EQ(location.address.port, c.port) << c.server;
        EXPECT_EQ(location.address.tls, c.tls) << c.server;
        EXPECT_EQ(location.target, "My%20Game/data/big%20map.pak") << c.server;
        EXPECT_EQ(location.pin, "pin");
    }
    Location location;
    EXPECT_FALSE(LocateFile("", "", "g", "f", location));
    EXPECT_FALSE(LocateFile("h", "", "g", "a\nb", location));
}

}  // namespace
}  // namespace zefo::test
