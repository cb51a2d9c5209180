#include "net/text_decode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace zefo {
namespace {

bool CodePageIs1252() {
#ifdef _WIN32
    return GetACP() == 1252;
#else
    return true;
#endif
}

TEST(DecodeText, EightBitTextEndsAtTheFirstZeroByte) {
    char block[1024] = {};
    std::memcpy(block, "0123456789", 10);
    EXPECT_EQ(DecodeText(block, 1024, kEncodingCodePage), "0123456789");
    block[4] = '\0';
    EXPECT_EQ(DecodeText(block, 1024, kEncodingCodePage), "0123");
    EXPECT_EQ(DecodeText(block, 3, kEncodingCodePage), "012");
    EXPECT_EQ(DecodeText("abc\0def", -1, kEncodingCodePage), "abc");
    EXPECT_EQ(DecodeText("abc", -2, kEncodingCodePage), "");
    EXPECT_EQ(DecodeText("abc", 0, kEncodingCodePage), "");
    EXPECT_EQ(DecodeText(nullptr, 5, kEncodingCodePage), "");
}

TEST(DecodeText, EightBitUpperHalfFollowsTheCodePage) {
    if (!CodePageIs1252())
        GTEST_SKIP() << "the ANSI code page is not Windows-1252";
    const char bytes[] = "\x80\xE4\xFF\x81\x9F";
    EXPECT_EQ(DecodeText(bytes, 5, 8), "\u20AC\u00E4\u00FF\u0081\u0178");
    // Every encoding number other than 2 and 9 is the code page.
    EXPECT_EQ(DecodeText(bytes, 2, 0), "\u20AC\u00E4");
}

TEST(DecodeText, Utf8KeepsValidSequencesAndReplacesBrokenOnes) {
    const std::string text = "a\u00E4\u20AC\U0001F600";
    EXPECT_EQ(DecodeText(text.data(), static_cast<int>(text.size()), kEncodingUtf8), text);
    EXPECT_EQ(DecodeText(text.c_str(), -1, kEncodingUtf8), text);
    // A stray continuation byte, a cut sequence, an overlong form and a surrogate.
    EXPECT_EQ(DecodeText("x\x80y", 3, kEncodingUtf8), "x\uFFFDy");
    EXPECT_EQ(DecodeText("x\xE2\x82", 3, kEncodingUtf8), "x\uFFFD\uFFFD");
    EXPECT_EQ(DecodeText("\xC0\xAF", 2, kEncodingUtf8), "\uFFFD\uFFFD");
    EXPECT_EQ(DecodeText("\xED\xA0\x80", 3, kEncodingUtf8), "\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(DecodeText("ab\0cd", 5, kEncodingUtf8), "ab");
}

TEST(DecodeText, Utf16CountsUnitsAndStopsAtAZeroUnit) {
    // "Hä€" and U+1F600 as a surrogate pair, then a zero unit and more.
    const unsigned char units[] = {'H', 0, 0xE4, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE, 0, 0, 'x', 0};
    EXPECT_EQ(DecodeText(units, 7, kEncodingUtf16), "H\u00E4\u20AC\U0001F600");
    EXPECT_EQ(DecodeText(units, 2, kEncodingUtf16), "H\u00E4");
    EXPECT_EQ(DecodeText(units, -1, kEncodingUtf16), "H\u00E4\u20AC\U0001F600");
    EXPECT_EQ(DecodeText(units, -5, kEncodingUtf16), "");
    const unsigned char lone[] = {0x3D, 0xD8, 'a', 0};
    EXPECT_EQ(DecodeText(lone, 2, kEncodingUtf16), "\uFFFDa");
}

TEST(EncodeCodePage, ConvertsToEightBitWithTheDefaultCharacterForMissingOnes) {
    std::string bytes;
    EXPECT_TRUE(EncodeCodePage("http://host/a b", bytes));
    EXPECT_EQ(bytes, "http://host/a b");
    EXPECT_FALSE(EncodeCodePage("bad \xFF", bytes));
    EXPECT_TRUE(EncodeCodePage("", bytes));
    EXPECT_EQ(bytes, "");
    if (!CodePageIs1252())
        return;
    EXPECT_TRUE(EncodeCodePage("\u00E4\u20AC\u65E5", bytes));
    EXPECT_EQ(bytes, "\xE4\x80?");
    // Decoding gives the text back for every character the code page has.
    EXPECT_EQ(DecodeText(bytes.data(), 2, kEncodingCodePage), "\u00E4\u20AC");
}

}  // namespace
}  // namespace zefo
