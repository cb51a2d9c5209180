#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zefo {
namespace {

std::vector<char32_t> Decode(std::string_view text, bool& valid) {
    std::vector<char32_t> codes;
    valid = true;
    for (size_t pos = 0; pos < text.size();)
        codes.push_back(NextCodePoint(text, pos, valid));
    return codes;
}

TEST(Utf8Test, DecodesAndReplacesBadSequencesOneByteAtATime) {
    bool valid = false;
    EXPECT_EQ(Decode("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80", valid),
              (std::vector<char32_t>{U'a', 0xE4, 0x20AC, 0x1F600}));
    EXPECT_TRUE(valid);
    // A real U+FFFD in the text is not a replacement.
    EXPECT_EQ(Decode("\xEF\xBF\xBD", valid), (std::vector<char32_t>{0xFFFD}));
    EXPECT_TRUE(valid);

    // Overlong form, surrogate, beyond U+10FFFF, stray continuation, cut-off sequence.
    for (std::string bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "\xE2\x82"}) {
        std::vector<char32_t> codes = Decode(bad, valid);
        EXPECT_FALSE(valid) << bad.size();
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes[0], kReplacementCharacter);
    }
    size_t pos = 0;
    EXPECT_EQ(NextCodePoint("\xE2\x82"
                            "x",
                            pos),
              kReplacementCharacter);
    EXPECT_EQ(pos, 1u);
}

TEST(Utf8Test, EncodesAndRepairs) {
    std::string text;
    for (char32_t code : {char32_t{0x41}, char32_t{0xE9}, char32_t{0x20AC}, char32_t{0x1F600}})
        AppendUtf8(text, code);
    EXPECT_EQ(text, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");

    EXPECT_EQ(ValidUtf8(text), text);
    EXPECT_EQ(ValidUtf8("\xEF\xBF\xBD ok"), "\xEF\xBF\xBD ok");
    EXPECT_EQ(ValidUtf8("a\xFF"
                        "b\xE2\x82"),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8Test, Windows1252BothWays) {
    EXPECT_EQ(Windows1252ToCodePoint(0x80), 0x20ACu);
    EXPECT_EQ(Windows1252ToCodePoint(0x81), 0x81u);  // undefined: the C1 control
    EXPECT_EQ(Windows1252ToCodePoint(0x9F), 0x178u);
    EXPECT_EQ(Windows1252ToCodePoint(0xE4), 0xE4u);
    EXPECT_EQ(Windows1252ToCodePoint('A'), char32_t{'A'});
    for (unsigned byte = 0; byte < 256; ++byte)
        EXPECT_EQ(static_cast<unsigned char>(
                      CodePointToWindows1252(Windows1252ToCodePoint(static_cast<unsigned char>(byte)))),
                  byte);
    EXPECT_EQ(CodePointToWindows1252(0x4E2D), '?');
    EXPECT_EQ(CodePointToWindows1252(0x1F600), '?');
}

}  // namespace
}  // namespace zefo
