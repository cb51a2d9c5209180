#include "base/wide_text_win32.h"

#include <gtest/gtest.h>

#include <string>

namespace zefo {
namespace {

TEST(WideTextTest, RoundTripsAndReplacesOnlyInTheLenientForm) {
    const std::string text = "A\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::wstring wide = L"A\u00E4\u20AC\xD83D\xDE00";
    EXPECT_EQ(Widen(text), wide);
    EXPECT_EQ(Narrow(wide), text);
    EXPECT_EQ(WidenExact(text), wide);
    EXPECT_EQ(NarrowExact(wide), text);

    EXPECT_EQ(Widen(""), L"");
    EXPECT_EQ(Narrow(L""), "");
    ASSERT_TRUE(WidenExact("").has_value());
    EXPECT_TRUE(WidenExact("")->empty());
    ASSERT_TRUE(NarrowExact(L"").has_value());

    // A bad byte: replaced by the lenient form, refused by the exact one.
    EXPECT_EQ(Widen("a\xFF"
                    "b"),
              L"a\uFFFDb");
    EXPECT_FALSE(WidenExact("a\xFF"
                            "b")
                     .has_value());
    const std::wstring lone{L'a', wchar_t{0xD800}, L'b'};
    EXPECT_EQ(Narrow(lone),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_FALSE(NarrowExact(lone).has_value());
}

}  // namespace
}  // namespace zefo
