// The manifest of a game's chunk indexes as the server gives it: the only list a run
// trusts to tell which files have an index, so anything odd in it counts as none.
#include "sync/delta_fetch.h"

#include <gtest/gtest.h>

namespace zefo::test {
namespace {

TEST(IndexManifestTest, SoundLinesAreReadAndAnythingOddMeansNoIndexes) {
    const std::string a(32, 'a'), upper = "0123456789ABCDEF0123456789ABCDEF";
    const auto read = ParseIndexManifest(a + " 1048576\n" + upper + " 18446744073709551615\r\n\n");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read.at(a), 1048576u);
    EXPECT_EQ(read.at("0123456789abcdef0123456789abcdef"), 18446744073709551615u);
    EXPECT_TRUE(ParseIndexManifest("").empty());
    for (const std::string& odd : {a + " 12 13", a + "  12", a + " -1", a + " ", std::string(31, 'a') + " 12",
                                   std::string(32, 'g') + " 12", a + " 184467440737095516160", a + "\t12"}) {
        SCOPED_TRACE(odd);
        EXPECT_TRUE(ParseIndexManifest(a + " 5\n" + odd + "\n").empty());
    }
}

}  // namespace
}  // namespace zefo::test
