#include "base/ascii.h"

#include <gtest/gtest.h>

namespace zefo {
namespace {

TEST(AsciiTest, OnlyTheLettersAToZFoldAndHexDigitsMatchInEitherCase) {
    EXPECT_TRUE(EqualsNoCase("Update.BAT", "update.bat"));
    EXPECT_FALSE(EqualsNoCase("update.bat", "update.ba"));
    // Bytes 32 apart that are not letters, and UTF-8 letters, stay apart.
    EXPECT_FALSE(EqualsNoCase("[data]", "{data}"));
    EXPECT_FALSE(EqualsNoCase("@", "`"));
    EXPECT_FALSE(EqualsNoCase("\xC3\x84", "\xC3\xA4"));
    EXPECT_EQ(LowerAsciiText("Zefo-\xC3\x84[X]"), "zefo-\xC3\x84[x]");

    EXPECT_TRUE(StartsWithNoCase("HTTPS://host", "https://"));
    EXPECT_TRUE(StartsWithNoCase("https://host", "HTTPS://"));
    EXPECT_FALSE(StartsWithNoCase("http", "https"));
    EXPECT_TRUE(EndsWithNoCase("run.Sh", ".sh"));
    EXPECT_FALSE(EndsWithNoCase("sh", ".sh"));
    EXPECT_TRUE(ContainsNoCase("Connection: Keep-Alive", "keep-alive"));
    EXPECT_FALSE(ContainsNoCase("Connection: close", "keep-alive"));

    EXPECT_TRUE(SameHexText("0aF9", "0Af9"));
    EXPECT_FALSE(SameHexText("0g", "0G")) << "only hexadecimal digits fold";
    EXPECT_FALSE(SameHexText("0a", "0a0"));
    EXPECT_TRUE(IsLowerHexText("0123456789abcdef", 16));
    EXPECT_FALSE(IsLowerHexText("0123456789abcdeF", 16));
    EXPECT_FALSE(IsLowerHexText("0123", 5));
}

}  // namespace
}  // namespace zefo
