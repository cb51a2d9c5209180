#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "base/listed_path.h"

namespace zefo {
namespace {

// Names a program keeps for itself, as the layer that makes its files gives them.
constexpr std::string_view kOwnTopNames[] = {"Own.bat", "own_copy.exe"};
constexpr ReservedNames kOwnNames{kOwnTopNames, ".owntmp"};

bool IsSafe(const std::string& path) {
    return IsSafeRelativePath(path, kOwnNames);
}

TEST(SafePathTest, OrdinaryGamePathsPass) {
    for (const char* path : {"Update.exe", "data\\game.dat", "data/maps/level 1.map", "a\\b/c.d.e", "Readme", ".hidden",
                             "data\\..x", "console.txt", "COM10.dat", "LPT.txt", "nul_file", "caf\xC3\xA9.txt",
                             "100%.txt", "a#b.pak", "name with  blanks"}) {
        EXPECT_TRUE(IsSafe(path)) << path;
    }
}

TEST(SafePathTest, PathsLeavingTheFolderAreRefused) {
    for (const char* path : {"", "..", "..\\Update.exe", "../x", "data\\..\\..\\x", "data/../x", "a\\..", "\\x",
                             "/etc/passwd", "\\\\server\\share\\x", "//server/share/x", "C:\\Windows\\x.dll", "C:x.dll",
                             "c:/x", "\\\\?\\C:\\x", "\\\\.\\PhysicalDrive0"}) {
        EXPECT_FALSE(IsSafe(path)) << path;
    }
}

TEST(SafePathTest, ComponentsWindowsWouldRewriteAreRefused) {
    // Windows drops trailing dots and blanks, so ".. " and "..." could climb out.
    for (const char* path : {".", "./x", "data\\.\\x", ".. \\x", "...\\x", "a\\...", "x.", "x..", "dir \\x", "a\\\\b",
                             "a//b", "data\\", "data/"}) {
        EXPECT_FALSE(IsSafe(path)) << path;
    }
}

TEST(SafePathTest, DeviceNamesAreRefusedWithAnyExtensionAndCase) {
    for (const char* path :
         {"CON", "con.txt", "data\\NUL", "nul.tar.gz", "Aux.pak", "prn", "COM1", "com9.log", "LPT1", "lpt0.x",
          "COM\xC2\xB9", "lpt\xC2\xB3.txt", "CONIN$", "conout$.x", "NUL .txt", "a\\b\\CoM3.dat"}) {
        EXPECT_FALSE(IsSafe(path)) << path;
    }
}

TEST(SafePathTest, CharactersWindowsForbidsAreRefused) {
    for (const char* path :
         {"a<b", "a>b", "a:b", "file.txt:stream", "a\"b", "a|b", "a?b", "a*b", "tab\there", "line\nbreak", "\x01x"}) {
        EXPECT_FALSE(IsSafe(path)) << path;
    }
    EXPECT_FALSE(IsSafe(std::string("a\0b", 3)));
}

// A path holding the lists' framing was never written by a publisher that checks it;
// such a record is refused like any other unsafe path.
TEST(SafePathTest, PathsHoldingTheListFramingAreRefused) {
    for (const char* path : {"br[/data]x.txt", "[DATA]", "a/[sig]b", "x[/Sig]", "data\\[data]\\y"})
        EXPECT_FALSE(IsSafe(path)) << path;
    for (const char* path : {"[dat]a", "br[/dat]a.txt", "[sig", "data]x.txt"})
        EXPECT_TRUE(IsSafe(path)) << path;
}

TEST(SafePathTest, NamesTheProgramKeepsAndPathsTooDeepOrTooLongAreRefused) {
    // Windows names one file in any letter case; temporary names may carry a number.
    for (const char* path : {"Own.bat", "own.BAT", "OWN_COPY.EXE", "Own.bat\\x.txt", "a.pak.owntmp", "data\\b.owntmp3",
                             "x.OWNTMP", ".owntmp"}) {
        EXPECT_FALSE(IsSafe(path)) << path;
        EXPECT_TRUE(IsSafeRelativePath(path, {})) << path << ": no names reserved";
    }
    for (const char* path : {"data\\Own.bat", "Own.exe", "Own.bat.txt", "owntmp", "a.owntmp.txt", "a.owntmp3x"})
        EXPECT_TRUE(IsSafe(path)) << path;

    std::string deep;
    for (int level = 0; level < 100; ++level)
        deep += "d\\";
    EXPECT_TRUE(IsSafe(deep + "x"));
    for (int level = 100; level < 1000; ++level)
        deep += "d\\";
    EXPECT_FALSE(IsSafe(deep + "x"));
    EXPECT_FALSE(IsSafe(std::string(40000, 'a')));
}

}  // namespace
}  // namespace zefo
