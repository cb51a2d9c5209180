#include "net/text_ops.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace zefo {
namespace {

using Records = std::vector<std::pair<std::string, std::string>>;

Records Split(const std::string& block) {
    Records records;
    ForEachRecord(block, [&records](std::string_view field1, std::string_view field2) {
        records.emplace_back(std::string(field1), std::string(field2));
    });
    return records;
}

TEST(TextOps, FindAndCount) {
    EXPECT_EQ(FindText("abcabc", "bc", 1), 2);
    EXPECT_EQ(FindText("abcabc", "bc", 3), 5);
    EXPECT_EQ(FindText("abcabc", "bc", -4), 2);
    EXPECT_EQ(FindText("abcabc", "bc", 6), 0);
    EXPECT_EQ(FindText("abcabc", "c", 6), 6);
    EXPECT_EQ(FindText("abcabc", "c", 7), 0);
    EXPECT_EQ(FindText("", "a", 1), 0);
    EXPECT_EQ(FindText("abc", "", 1), 0);
    EXPECT_EQ(FindText("abc", "B", 1), 0);  // case matters

    EXPECT_EQ(CountText("aaaa", "aa"), 2);  // no overlap
    EXPECT_EQ(CountText("a|b||c|", "|"), 4);
    EXPECT_EQ(CountText("", "|"), 0);
    EXPECT_EQ(CountText("abc", ""), 0);
}

TEST(TextOps, FieldsAndMiddles) {
    EXPECT_EQ(TextField("a:b:c", 1, ":"), "a");
    EXPECT_EQ(TextField("a:b:c", 3, ":"), "c");
    EXPECT_EQ(TextField("a:b:c", 4, ":"), "");
    EXPECT_EQ(TextField("a:b:c", 0, ":"), "");
    EXPECT_EQ(TextField("::", 2, ":"), "");
    EXPECT_EQ(TextField("name", 1, ":"), "name");
    EXPECT_EQ(TextField("name", 2, ":"), "");
    EXPECT_EQ(TextField("a|b:c", 2, "|x"), "b:c");  // only the first character separates

    EXPECT_EQ(MidText("abcdef", 2, 3), "bcd");
    EXPECT_EQ(MidText("abcdef", -3, 2), "ab");
    EXPECT_EQ(MidText("abcdef", 5, 10), "ef");
    EXPECT_EQ(MidText("abcdef", 7, 1), "");
    EXPECT_EQ(MidText("abcdef", 2, -1), "");
}

TEST(TextOps, TextBetweenTheMarkers) {
    EXPECT_EQ(TextBetween("head [data]a:1|b:2[/data] tail", "[data]", "[/data]"), "a:1|b:2");
    // Without "[data]" the block runs from the sixth byte to the one before "[/data]".
    EXPECT_EQ(TextBetween("HTTP/1.0 200 OK\r\n\r\nabc[/data]", "[data]", "[/data]"), "1.0 200 OK\r\n\r\nabc");
    // A "[/data]" only before "[data]" gives the empty block.
    EXPECT_EQ(TextBetween("x[/data]y[data]z", "[data]", "[/data]"), "");
    EXPECT_EQ(TextBetween("[data][/data]", "[data]", "[/data]"), "");
    // The close marker is searched from the open marker on.
    EXPECT_EQ(TextBetween("[/data][data]ok[/data]", "[data]", "[/data]"), "ok");
}

TEST(TextOps, RecordsSkipEmptyOnesAndGiveTwoFields) {
    EXPECT_EQ(Split("a:1||b:2|"), (Records{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(Split("single:record"), (Records{{"single", "record"}}));
    EXPECT_EQ(Split(""), Records{});
    EXPECT_EQ(Split("|||"), Records{});
    EXPECT_EQ(Split("name"), (Records{{"name", ""}}));
    EXPECT_EQ(Split("x:y:z"), (Records{{"x", "y"}}));
    // Nothing is trimmed.
    EXPECT_EQ(Split(" a : b \r\n|c:"), (Records{{" a ", " b \r\n"}, {"c", ""}}));
    EXPECT_EQ(Split(":only"), (Records{{"", "only"}}));
}

TEST(TextOps, ListBlockTextReadsBackRecordForRecord) {
    EXPECT_EQ(ListBlockText({}), "[data][/data]");
    const std::string text = ListBlockText({"Alpha Game:alpha", "sub dir/b c.bin:d41d8cd98f00b204e9800998ecf8427e"});
    EXPECT_EQ(text, "[data]Alpha Game:alpha|sub dir/b c.bin:d41d8cd98f00b204e9800998ecf8427e[/data]");
    EXPECT_EQ(Split(TextBetween(text, "[data]", "[/data]")),
              (Records{{"Alpha Game", "alpha"}, {"sub dir/b c.bin", "d41d8cd98f00b204e9800998ecf8427e"}}));
}

}  // namespace
}  // namespace zefo
