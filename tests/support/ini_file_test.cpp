#include "support/ini_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/environment.h"
#include "common/temp_dir.h"

#ifdef _WIN32
#include <windows.h>

#include "base/wide_text_win32.h"
#include "common/other_handle_win32.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zefo {
namespace {

using test::FileExists;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
using namespace std::string_literals;

constexpr char kMarkLine[] = "\xEF\xBB\xBF\r\n";

class IniFileTest : public ::testing::Test {
  protected:
    void TearDown() override { IniClose(); }

    // Writes `before`, lets `change` work on it, closes, and returns the bytes on disk.
    template <typename Change>
    std::string Rewritten(const std::string& before, Change change) {
        WriteFileBytes(path, before);
        EXPECT_TRUE(IniOpen(path));
        change();
        IniClose();
        EXPECT_FALSE(FileExists(path + ".tmp"));
        return ReadFileBytes(path);
    }

    TempDir dir;
    std::string path = dir / "settings.ini";
};

TEST_F(IniFileTest, MissingFileGivesDefaultsAndIsCreatedOnlyByWrites) {
    EXPECT_FALSE(IniOpen(path));
    EXPECT_FALSE(IniSelectGroup("Program"));
    EXPECT_EQ(IniReadString("lang", "---"), "---");
    IniClose();
    EXPECT_FALSE(FileExists(path));

    EXPECT_FALSE(IniOpen(path));
    EXPECT_FALSE(IniSelectGroup("Program"));
    IniWriteString("lang", "de");
    IniWriteString("server", "updates.example");
    EXPECT_EQ(IniReadString("LANG", ""), "de");
    IniClose();
    EXPECT_EQ(ReadFileBytes(path), kMarkLine + "[Program]\r\nlang = de\r\nserver = updates.example\r\n"s);
    EXPECT_FALSE(FileExists(path + ".tmp"));

    // A folder that does not exist: the writes are dropped and nothing is left behind.
    const std::string nowhere = dir / "missing/settings.ini";
    EXPECT_FALSE(IniOpen(nowhere));
    IniWriteString("lang", "de");
    IniClose();
    EXPECT_FALSE(FileExists(dir / "missing"));
}

TEST_F(IniFileTest, NamesMatchWithoutCaseAndTheWriterSetsTheKeysCase) {
    EXPECT_EQ(Rewritten("[program]\r\nLANG=de\r\n",
                        [] {
                            EXPECT_TRUE(IniSelectGroup("Program"));
                            EXPECT_EQ(IniReadString("lang", "en"), "de");
                            IniWriteString("lang", "fi");
                        }),
              kMarkLine + "[program]\r\nlang = fi\r\n"s);

    // Only A to Z fold: an upper-case Ä does not find ä.
    Rewritten("\xEF\xBB\xBF[Gr\xC3\xA4n]\r\nk=v\r\n", [] {
        EXPECT_FALSE(IniSelectGroup("GR\xC3\x84N"));
        EXPECT_TRUE(IniSelectGroup("gR\xC3\xA4N"));
        EXPECT_EQ(IniReadString("K", ""), "v");
    });
}

TEST_F(IniFileTest, LayoutIsNormalisedAndCommentsSurvive) {
    EXPECT_EQ(Rewritten(";direct\r\n;  two blanks\n;\ttab\r\n\r\n\r\n   [Group]  text after\r\n\t key=value\r\n"
                        "\n\nbare\r\n  = nameless\r\n",
                        [] {
                            IniSelectGroup("Group");
                            IniWriteString("new", "1");
                        }),
              kMarkLine +
                  "; direct\r\n;  two blanks\r\n; \ttab\r\n[Group]\r\nkey = value\r\nbare = \r\n = nameless\r\n"
                  "new = 1\r\n"s);
}

TEST_F(IniFileTest, ValuesKeepTheirInnerTextAndTrailingBlanksOnDisk) {
    EXPECT_EQ(Rewritten("[G]\r\nserver =   host:8080  \t\r\nurl=a=b;c \"q\"\r\nother=1\r\n",
                        [] {
                            IniSelectGroup("G");
                            EXPECT_EQ(IniReadString("server", ""), "host:8080");
                            EXPECT_EQ(IniReadString("url", ""), "a=b;c \"q\"");
                            IniWriteString("other", "  2  ");
                            EXPECT_EQ(IniReadString("other", ""), "2");
                        }),
              kMarkLine + "[G]\r\nserver = host:8080  \t\r\nurl = a=b;c \"q\"\r\nother =   2  \r\n"s);

    // Line breaks in a written value would split the line: they are dropped.
    EXPECT_EQ(Rewritten("",
                        [] {
                            IniSelectGroup("G");
                            IniWriteString("server", "host\r\n[Evil]\nx=1");
                        }),
              "[G]\r\nserver = host[Evil]x=1\r\n");
}

TEST_F(IniFileTest, GroupNamesKeepTheirBlanks) {
    Rewritten("[ Program ]\r\nlang=de\r\n[Open\r\nk=v\r\n", [] {
        EXPECT_FALSE(IniSelectGroup("Program"));
        EXPECT_EQ(IniReadString("lang", "x"), "x");  // pending: nothing is found
        EXPECT_TRUE(IniSelectGroup(" program "));
        EXPECT_EQ(IniReadString("lang", "x"), "de");
        EXPECT_TRUE(IniSelectGroup("open"));
        EXPECT_EQ(IniReadString("k", ""), "v");
    });
}

TEST_F(IniFileTest, NewGroupsGoToTheEndAndNewKeysToTheEndOfTheirGroup) {
    EXPECT_EQ(Rewritten("top=1\r\n[A]\r\na=1\r\n; about B\r\n[B]\r\n",
                        [] {
                            EXPECT_FALSE(IniSelectGroup("C"));
                            IniWriteString("c1", "x");
                            IniWriteString("c2", "y");
                            EXPECT_TRUE(IniSelectGroup("A"));
                            IniWriteString("a2", "2");  // after the comment that ends group A
                            EXPECT_TRUE(IniSelectGroup("B"));
                            IniWriteString("b1", "1");
                            EXPECT_TRUE(IniSelectGroup(""));
                            IniWriteString("top2", "2");
                        }),
              kMarkLine +
                  "top = 1\r\ntop2 = 2\r\n[A]\r\na = 1\r\n; about B\r\na2 = 2\r\n[B]\r\nb1 = 1\r\n[C]\r\nc1 = x\r\n"
                  "c2 = y\r\n"s);

    // A top-section key goes first when the file begins with a group.
    EXPECT_EQ(Rewritten("[A]\r\na=1\r\n", [] { IniWriteString("top", "1"); }),
              kMarkLine + "top = 1\r\n[A]\r\na = 1\r\n"s);
}

TEST_F(IniFileTest, DuplicatesAddressTheFirst) {
    EXPECT_EQ(Rewritten("[G]\r\nk=1\r\nk=2\r\n[g]\r\nk=3\r\n",
                        [] {
                            EXPECT_TRUE(IniSelectGroup("G"));
                            EXPECT_EQ(IniReadString("k", ""), "1");
                            IniWriteString("K", "9");
                        }),
              kMarkLine + "[G]\r\nK = 9\r\nk = 2\r\n[g]\r\nk = 3\r\n"s);
}

TEST_F(IniFileTest, FilesWithoutMarkAreReadAsLatin1AndGetTheMark) {
    EXPECT_EQ(Rewritten("[G]\r\nname=Caf\xE9\r\nutf=\xC3\xA4\r\n",
                        [] {
                            IniSelectGroup("G");
                            EXPECT_EQ(IniReadString("name", ""), "Caf\xC3\xA9");
                            EXPECT_EQ(IniReadString("utf", ""), "\xC3\x83\xC2\xA4");
                            IniWriteString("x", "1");
                        }),
              kMarkLine + "[G]\r\nname = Caf\xC3\xA9\r\nutf = \xC3\x83\xC2\xA4\r\nx = 1\r\n"s);

    // With the mark the bytes are UTF-8 as they stand.
    Rewritten("\xEF\xBB\xBF[G]\r\nutf=\xC3\xA4\r\n", [] {
        IniSelectGroup("G");
        EXPECT_EQ(IniReadString("utf", ""), "\xC3\xA4");
    });
    // A file of the mark alone keeps it; an empty file is written without it.
    EXPECT_EQ(Rewritten("\xEF\xBB\xBF", [] { IniWriteString("a", "1"); }), kMarkLine + "a = 1\r\n"s);
    EXPECT_EQ(Rewritten("", [] { IniWriteString("a", "1"); }), "a = 1\r\n");
    // Unless what it is given goes beyond ASCII, which without the mark would read back
    // as ISO 8859-1.
    EXPECT_EQ(Rewritten("", [] { IniWriteString("a", "\xC3\xA4"); }), kMarkLine + "a = \xC3\xA4\r\n"s);
    EXPECT_TRUE(IniOpen(path));
    EXPECT_EQ(IniReadString("a", ""), "\xC3\xA4");
    IniClose();
    EXPECT_EQ(Rewritten("\xE9", [] { IniWriteString("a", "1"); }), kMarkLine + "\xC3\xA9 = \r\na = 1\r\n"s);
}

TEST_F(IniFileTest, ReadingLeavesTheFileAsItWas) {
    const std::string before = "[G]\r\n\r\n  k=v\n";
    EXPECT_EQ(Rewritten(before,
                        [] {
                            IniSelectGroup("G");
                            EXPECT_EQ(IniReadString("k", ""), "v");
                            IniSelectGroup("Nothing");
                        }),
              before);
}

TEST_F(IniFileTest, NoOpenFileMeansDefaultsAndNoWrites) {
    EXPECT_FALSE(IniSelectGroup("G"));
    EXPECT_FALSE(IniSelectGroup(""));
    EXPECT_EQ(IniReadString("k", "fallback"), "fallback");
    IniWriteString("k", "v");
    IniClose();
    IniClose();
}

TEST_F(IniFileTest, OpeningAgainWritesBackThePreviousFile) {
    const std::string other = dir / "other.ini";
    WriteFileBytes(other, "[G]\r\nk=2\r\n");
    EXPECT_FALSE(IniOpen(path));
    IniWriteString("k", "1");
    EXPECT_TRUE(IniOpen(other));
    EXPECT_EQ(ReadFileBytes(path), kMarkLine + "k = 1\r\n"s);
    IniSelectGroup("G");
    EXPECT_EQ(IniReadString("k", ""), "2");
}

TEST_F(IniFileTest, EachThreadHasItsOwnFile) {
    EXPECT_FALSE(IniOpen(path));
    IniWriteString("main", "1");
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([this, t] {
            EXPECT_EQ(IniReadString("main", "none"), "none");  // not this thread's file
            const std::string own = dir / ("worker" + std::to_string(t) + ".ini");
            for (int round = 0; round < 20; ++round) {
                IniOpen(own);
                IniSelectGroup("W");
                EXPECT_EQ(IniReadString("round", "-1"), std::to_string(round - 1));
                IniWriteString("round", std::to_string(round));
                IniClose();
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(ReadFileBytes(dir / ("worker" + std::to_string(t) + ".ini")), kMarkLine + "[W]\r\nround = 19\r\n"s);
    EXPECT_EQ(IniReadString("main", ""), "1");
    IniClose();
    EXPECT_EQ(ReadFileBytes(path), kMarkLine + "main = 1\r\n"s);
}

TEST_F(IniFileTest, StaleTemporaryFileIsReplacedAndGone) {
    WriteFileBytes(path + ".tmp", "left over from a crash");
    EXPECT_EQ(Rewritten("a=1\r\n", [] { IniWriteString("a", "2"); }), kMarkLine + "a = 2\r\n"s);
    // A link in the temporary file's place is removed, never written through.
    TempDir elsewhere;
    WriteFileBytes(elsewhere / "victim", "victim");
    if (!test::MakeSymbolicLink(elsewhere / "victim", path + ".tmp"))
        GTEST_SKIP() << "no symbolic links here";
    EXPECT_EQ(Rewritten("a=1\r\n", [] { IniWriteString("a", "3"); }), kMarkLine + "a = 3\r\n"s);
    EXPECT_EQ(ReadFileBytes(elsewhere / "victim"), "victim");
}

TEST_F(IniFileTest, FilesFarTooLargeAreLeftAlone) {
    std::string big(17u << 20, 'x');
    WriteFileBytes(path, big);
    EXPECT_FALSE(IniOpen(path));
    IniWriteString("a", "1");
    IniClose();
    EXPECT_TRUE(ReadFileBytes(path) == big);
}

#ifdef _WIN32

using test::OtherHandle;

TEST_F(IniFileTest, OthersMayReadAnOpenFileButNotWriteIt) {
    WriteFileBytes(path, "a=1\r\n");
    ASSERT_TRUE(IniOpen(path));
    EXPECT_TRUE(OtherHandle(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE).opened());
    EXPECT_FALSE(OtherHandle(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE).opened());
    IniClose();
}

TEST_F(IniFileTest, FileWrittenByAnotherIsReadButNotChanged) {
    WriteFileBytes(path, "a=1\r\n");
    {
        OtherHandle writer(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        ASSERT_TRUE(writer.opened());
        EXPECT_TRUE(IniOpen(path));  // the last fallback, sharing write access
        EXPECT_EQ(IniReadString("a", ""), "1");
        IniWriteString("a", "2");
        IniClose();
    }
    EXPECT_EQ(ReadFileBytes(path), "a=1\r\n");
    EXPECT_FALSE(FileExists(path + ".tmp"));
}

TEST_F(IniFileTest, ReadOnlyFilesDropWritesSilently) {
    WriteFileBytes(path, "a=1\r\n");
    ASSERT_TRUE(SetFileAttributesW(Widen(path).c_str(), FILE_ATTRIBUTE_READONLY));
    if (OtherHandle(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE).opened()) {
        SetFileAttributesW(Widen(path).c_str(), FILE_ATTRIBUTE_NORMAL);
        GTEST_SKIP() << "the read-only attribute does not bind this user";
    }
    EXPECT_TRUE(IniOpen(path));
    EXPECT_EQ(IniReadString("a", ""), "1");
    IniWriteString("a", "2");
    IniClose();
    EXPECT_EQ(ReadFileBytes(path), "a=1\r\n");
    EXPECT_FALSE(FileExists(path + ".tmp"));
    SetFileAttributesW(Widen(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(IniFileTest, FileThatCannotBeReplacedIsWrittenInPlace) {
    // A reader that does not allow deleting or renaming blocks the replacement.
    WriteFileBytes(path, "a=1\r\n");
    OtherHandle reader(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(reader.opened());
    EXPECT_TRUE(IniOpen(path));
    IniWriteString("a", "2");
    IniClose();
    EXPECT_EQ(ReadFileBytes(path), kMarkLine + "a = 2\r\n"s);
    EXPECT_FALSE(FileExists(path + ".tmp"));
}

#else

// Permission bits do not bind a privileged user; such runs skip these cases.
bool Writable(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

TEST_F(IniFileTest, ReadOnlyFilesDropWritesSilently) {
    WriteFileBytes(path, "a=1\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    if (Writable(path))
        GTEST_SKIP() << "permissions do not apply to this user";
    EXPECT_TRUE(IniOpen(path));
    EXPECT_EQ(IniReadString("a", ""), "1");
    IniWriteString("a", "2");
    IniClose();
    EXPECT_EQ(ReadFileBytes(path), "a=1\r\n");
    EXPECT_FALSE(FileExists(path + ".tmp"));
}

TEST_F(IniFileTest, ReplacementKeepsThePermissions) {
    WriteFileBytes(path, "a=1\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    EXPECT_EQ(Rewritten(ReadFileBytes(path), [] { IniWriteString("a", "2"); }), kMarkLine + "a = 2\r\n"s);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0604u);
}

TEST_F(IniFileTest, BackslashPathsAndFolders) {
    std::filesystem::create_directory(dir / "Zefo");
    test::ScopedCurrentDirectory inside(dir.path());
    EXPECT_FALSE(IniOpen("Zefo\\settings.ini"));
    IniWriteString("a", "1");
    IniClose();
    EXPECT_EQ(ReadFileBytes(dir / "Zefo/settings.ini"), kMarkLine + "a = 1\r\n"s);

    EXPECT_FALSE(IniOpen("Zefo"));  // a folder is no settings file, and is not replaced
    IniWriteString("a", "1");
    IniClose();
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Zefo"));
    EXPECT_FALSE(FileExists(dir / "Zefo.tmp"));
}

#endif

}  // namespace
}  // namespace zefo
