#include "base/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "common/test_data.h"

namespace zefo {
namespace {

using test::Md5Of;
using test::Pattern;
using test::SystemMd5sum;

// Feeds a file through Md5 in uneven pieces, the way a download streams it.
std::string StreamedFileDigest(const std::string& path, size_t piece) {
    std::ifstream in(path, std::ios::binary);
    Md5 md5;
    std::vector<char> buffer(piece);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        md5.Update(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    return md5.FinalHex();
}

TEST(Md5Test, Rfc1321TestSuite) {
    EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Of("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_EQ(Md5Of(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5Test, FinalGivesTheBytesThatFinalHexSpells) {
    Md5 md5;
    md5.Update("abc", 3);
    uint8_t digest[16];
    md5.Final(digest);
    const uint8_t expected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                  0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(digest[i], expected[i]) << "byte " << i;
}

TEST(Md5Test, PaddingAroundTheLengthFieldBoundary) {
    // Lengths where the padding fits in the last block, exactly fills it, or spills into one more.
    for (size_t size : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 127u, 128u}) {
        const std::string bytes(size, 'a');
        Md5 bytewise;
        for (char c : bytes)
            bytewise.Update(&c, 1);
        EXPECT_EQ(Md5Of(bytes), bytewise.FinalHex()) << size;
    }
    EXPECT_EQ(Md5Of(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Md5Of(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Md5Of(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(Md5Test, IncrementalUpdatesSplitAtEveryOffset) {
    const std::string bytes = Pattern(300, 42);
    const std::string whole = Md5Of(bytes);
    for (size_t split = 0; split <= bytes.size(); ++split) {
        Md5 md5;
        md5.Update(bytes.data(), split);
        md5.Update(bytes.data() + split, bytes.size() - split);
        ASSERT_EQ(md5.FinalHex(), whole) << "split at " << split;
    }
    // Three pieces: a short head that leaves the buffer part-filled, then a middle
    // that crosses one or more block boundaries from there.
    for (size_t first = 0; first <= 70; ++first) {
        for (size_t second = 0; second <= 140 && first + second <= bytes.size(); ++second) {
            Md5 md5;
            md5.Update(bytes.data(), first);
            md5.Update(bytes.data() + first, second);
            md5.Update(bytes.data() + first + second, bytes.size() - first - second);
            ASSERT_EQ(md5.FinalHex(), whole) << first << "+" << second;
        }
    }
    Md5 md5;
    for (char c : bytes)
        md5.Update(&c, 1);
    EXPECT_EQ(md5.FinalHex(), whole);
}

TEST(Md5Test, UnalignedInputGivesTheSameDigest) {
    const std::string bytes = Pattern(1000, 3);
    const std::string whole = Md5Of(bytes);
    std::vector<char> shifted(bytes.size() + 8);
    for (size_t offset = 1; offset < 8; ++offset) {
        std::copy(bytes.begin(), bytes.end(), shifted.begin() + static_cast<std::ptrdiff_t>(offset));
        Md5 md5;
        md5.Update(shifted.data() + offset, bytes.size());
        EXPECT_EQ(md5.FinalHex(), whole) << offset;
    }
}

struct KnownFile {
    size_t size;
    uint32_t seed;
    const char* md5;  // as printed by md5sum for the same bytes
};

const KnownFile kKnownFiles[] = {
    {0, 1, "d41d8cd98f00b204e9800998ecf8427e"},
    {1, 1, "f664908b48b07e34c3472a6243f37cbf"},
    {1000000, 1, "d66afbcaa8c67a78da3b0748831198a7"},
    {3000007, 7, "29bdd3bb0f7e67a09a33c88e64c611f8"},
};

TEST(Md5Test, FilesOfKnownContent) {
    test::TempDir dir;
    for (const KnownFile& known : kKnownFiles) {
        const std::string path = dir / ("pattern-" + std::to_string(known.size));
        const std::string bytes = Pattern(known.size, known.seed);
        test::WriteFileBytes(path, bytes);

        EXPECT_EQ(Md5Of(bytes), known.md5) << known.size;
        EXPECT_EQ(StreamedFileDigest(path, 4093), known.md5) << known.size;
        EXPECT_EQ(StreamedFileDigest(path, 1 << 20), known.md5) << known.size;
#ifndef _WIN32
        EXPECT_EQ(SystemMd5sum(path), known.md5) << known.size;
#endif
    }
}

#ifndef _WIN32
TEST(Md5Test, AgreesWithMd5sumOnFreshContent) {
    test::TempDir dir;
    ASSERT_EQ(SystemMd5sum("/dev/null"), "d41d8cd98f00b204e9800998ecf8427e") << "md5sum must be runnable";
    for (size_t size : {1u, 63u, 64u, 4097u, 1000000u, 1000001u, 5u * 1000000u + 13u}) {
        const std::string path = dir / ("fresh-" + std::to_string(size));
        const std::string bytes = Pattern(size, static_cast<uint32_t>(size));
        test::WriteFileBytes(path, bytes);
        EXPECT_EQ(Md5Of(bytes), SystemMd5sum(path)) << size;
    }
}
#endif

}  // namespace
}  // namespace zefo
