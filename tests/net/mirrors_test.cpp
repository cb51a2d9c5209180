#include "net/mirrors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/text_ops.h"

namespace zefo {
namespace {

TEST(Mirrors, OnlyPlainHttpUrlsOfAHostPortAndPathAreTaken) {
    for (const char* good : {"http://mirror.example", "https://cdn.example.net/games/", "HTTPS://A-1.example:8443/x",
                             "http://[::1]:8080/www/", "http://127.0.0.1/a%20b/c;d,e=f/", "http://h:65535"}) {
        EXPECT_TRUE(IsMirrorUrl(good)) << good;
    }
    for (const char* bad : {"",
                            "ftp://mirror.example/",
                            "mirror.example/games/",
                            "http://",
                            "http:///games/",
                            "http://user@host/",
                            "http://host:0/",
                            "http://host:65536/",
                            "http://host:/",
                            "http://host:123456/",
                            "http://host/a b/",
                            "http://host/a?b",
                            "http://host/a#b",
                            "http://host/[data]",
                            "http://host/a|b",
                            "http://[fe80::1%25eth0]/",
                            "http://[data]/",
                            "http://host/%2",
                            "http://host/%zz",
                            "http://host\r\n/",
                            "http://h\xc3\xa4st/",
                            "http://host/\x7f"}) {
        EXPECT_FALSE(IsMirrorUrl(bad)) << bad;
    }
    EXPECT_TRUE(IsMirrorUrl("http://h/" + std::string(kMaxMirrorUrl - 9, 'a')));
    EXPECT_FALSE(IsMirrorUrl("http://h/" + std::string(kMaxMirrorUrl - 8, 'a')));
}

TEST(Mirrors, TheLineBeforeTheBlockGivesBackWhatWasWrittenAndNoMore) {
    const std::vector<std::string> mirrors{"https://a.example/www/", "http://[::1]:8080/"};
    const std::string line = MirrorsLineText(mirrors);
    EXPECT_EQ(line, "[mirrors]https://a.example/www/|http://[::1]:8080/[/mirrors]\n");
    EXPECT_EQ(MirrorsLineText({}), "");

    // What a reader of the block sees of a reply with the line: the same block.
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n" + line + "[data]a:1|b:2[/data]";
    EXPECT_EQ(TextBetween(reply, "[data]", "[/data]"), "a:1|b:2");
    EXPECT_EQ(MirrorsFromHead(reply.substr(0, reply.find("[data]"))), mirrors);

    EXPECT_EQ(MirrorsFromHead("HTTP/1.1 200 OK\r\n\r\n"), std::vector<std::string>{});
    EXPECT_EQ(MirrorsFromHead("[mirrors]http://a/"), std::vector<std::string>{}) << "not closed";
    // Refused, repeated and surplus URLs are left aside; the rest keep their order.
    std::string many = "[mirrors]ftp://x/|http://b/|http://b/|";
    for (int i = 0; i < 20; ++i)
        many += "http://m" + std::to_string(i) + "/|";
    many += "[/mirrors]";
    const std::vector<std::string> taken = MirrorsFromHead(many);
    ASSERT_EQ(taken.size(), kMaxMirrors);
    EXPECT_EQ(taken[0], "http://b/");
    EXPECT_EQ(taken[1], "http://m0/");
    EXPECT_EQ(taken.back(), "http://m14/");
    // A header that looks like the line comes before the body's own: the last one counts.
    EXPECT_EQ(MirrorsFromHead("X-Note: [mirrors]http://evil/[/mirrors]\r\n\r\n[mirrors]http://good/[/mirrors]\n"),
              std::vector<std::string>{"http://good/"});
}

}  // namespace
}  // namespace zefo
