#include <gtest/gtest.h>

#include <string>

#include "base/listed_path.h"

namespace zefo {
namespace {

TEST(SafePathTest, OrdinaryGamePathsPass) {
    for (const char* path : {"Update.exe", "data\\game.dat", "data/maps/level 1.map", "a\\b/c.d.e", "Readme", ".hidden",
                             "data\\..x", "console.txt", "COM10.dat", "LPT.txt", "nul_file", "caf\xC3\xA9.txt",
                             "100%.txt", "a#b.pak", "name with  blanks"}) {
        EXPECT_TRUE(IsSafeRelativePath(path)) << path;
    }
}

TEST(SafePathTest, PathsLeavingTheFolderAreRefused) {
    for (const char* path : {"", "..", "..\\Update.exe", "../x", "data\\..\\..\\x", "data/../x", "a\\..", "\\x",
                             "/etc/passwd", "\\\\server\\share\\x", "//server/share/x", "C:\\Windows\\x.dll", "C:x.dll",
                             "c:/x", "\\\\?\\C:\\x", "\\\\.\\PhysicalDrive0"}) {
        EXPECT_FALSE(IsSafeRelativePath(path)) << path;
    }
}

TEST(SafePathTest, ComponentsWindowsWouldRewriteAreRefused) {
    // Windows drops trailing dots and blanks, so ".. " and "..." could climb out.
    for (const char* path : {".", "./x", "data\\.\\x", ".. \\x", "...\\x", "a\\...", "x.", "x..", "dir \\x", "a\\\\b",
                             "a//b", "data\\", "data/"}) {
        EXPECT_FALSE(IsSafeRelativePath(path)) << path;
    }
}

TEST(SafePathTest, DeviceNamesAreRefusedWithAnyExtensionAndCase) {
    for (const char* path :
         {"CON", "con.txt", "data\\NUL", "nul.tar.gz", "Aux.pak", "prn", "COM1", "com9.log", "LPT1", "lpt0.x",
          "COM\xC2\xB9", "lpt\xC2\xB3.txt", "CONIN$", "conout$.x", "NUL .txt", "a\\b\\CoM3.dat"}) {
        EXPECT_FALSE(IsSafeRelativePath(path)) << path;
    }
}

TEST(SafePathTest, CharactersWindowsForbidsAreRefused) {
    for (const char* path :
         {"a<b", "a>b", "a:b", "file.txt:stream", "a\"b", "a|b", "a?b", "a*b", "tab\there", "line\nbreak", "\x01x"}) {
        EXPECT_FALSE(IsSafeRelativePath(path)) << path;
    }
    EXPECT_FALSE(IsSafeRelativePath(std::string("a\0b", 3)));
}

// A path holding the lists' framing was never written by a publisher that checks it;
// such a record is refused like any other unsafe path.
TEST(SafePathTest, PathsHoldingTheListFramingAreRefused) {
    for (const char* path : {"br[/data]x.txt", "[DATA]", "a/[sig]b", "x[/Sig]", "data\\[data]\\y"})
        EXPECT_FALSE(IsSafeRelativePath(path)) << path;
    for (const char* path : {"[dat]a", "br[/dat]a.txt", "[sig", "data]x.txt"})
        EXPECT_TRUE(IsSafeRelativePath(path)) << path;
}

TEST(SafePathTest, NamesTheProgramKeepsAndPathsTooDeepOrTooLongAreRefused) {
    // Windows names one file in any letter case.
    for (const char* path : {"Update.bat", "update.BAT", "Update_copy.exe", "UPDATE_COPY.EXE", "Update.bat.new",
                             "update.exe.old", "Update.bat\\x.txt", "a.pak.zefotmp", "data\\b.zefotmp3", "x.ZEFOTMP",
                             "zefo-updater.new", "Zefo-Updater.NEW"}) {
        EXPECT_FALSE(IsSafeRelativePath(path)) << path;
    }
    for (const char* path : {"data\\Update.bat", "Update.exe", "Update.bat.txt", "zefotmp", "a.zefotmp.txt",
                             "zefo-updater", "data/zefo-updater.new"})
        EXPECT_TRUE(IsSafeRelativePath(path)) << path;

    std::string deep;
    for (int level = 0; level < 100; ++level)
        deep += "d\\";
    EXPECT_TRUE(IsSafeRelativePath(deep + "x"));
    for (int level = 100; level < 1000; ++level)
        deep += "d\\";
    EXPECT_FALSE(IsSafeRelativePath(deep + "x"));
    EXPECT_FALSE(IsSafeRelativePath(std::string(40000, 'a')));
}

}  // namespace
}  // namespace zefo
