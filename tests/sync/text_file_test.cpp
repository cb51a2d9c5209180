#include "sync/text_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir.h"

#ifdef _WIN32
#include <windows.h>

#include "base/wide_text_win32.h"
#include "common/other_handle_win32.h"
#else
#include <sys/stat.h>
#endif

namespace zefo {
namespace {

using test::FileExists;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

// The first `count` results of ReadTextLine on slot 0 for the file.
std::vector<std::string> ReadLines(const std::string& path, size_t count) {
    std::vector<std::string> lines;
    EXPECT_NE(OpenTextFileForReading(0, path), 0);
    for (size_t i = 0; i < count; ++i)
        lines.push_back(ReadTextLine(0));
    CloseTextFile(0);
    return lines;
}

std::vector<std::string> LinesOf(const std::string& bytes, size_t count) {
    TempDir dir;
    WriteFileBytes(dir / "lines.txt", bytes);
    return ReadLines(dir / "lines.txt", count);
}

bool AnsiIsWindows1252() {
#ifdef _WIN32
    return GetACP() == 1252;
#else
    return true;
#endif
}

using Lines = std::vector<std::string>;
using namespace std::string_literals;

TEST(TextFileTest, EveryLineEndRule) {
    EXPECT_EQ(LinesOf("first\r\nsecond", 4), (Lines{"first", "second", "", ""}));
    EXPECT_EQ(LinesOf("first\n\nsecond\n", 4), (Lines{"first", "", "second", ""}));
    EXPECT_EQ(LinesOf("first\rsecond\r", 3), (Lines{"first", "second", ""}));
    EXPECT_EQ(LinesOf("first\n\rsecond", 4), (Lines{"first", "", "second", ""}));
    EXPECT_EQ(LinesOf("first\r\r\nsecond", 4), (Lines{"first", "", "second", ""}));
    EXPECT_EQ(LinesOf("first\0second\0"s, 3), (Lines{"first", "second", ""}));
    EXPECT_EQ(LinesOf("last\r", 3), (Lines{"last", "", ""}));
    EXPECT_EQ(LinesOf("", 2), (Lines{"", ""}));
    // The mark stays: the first line begins with U+FEFF.
    EXPECT_EQ(LinesOf("\xEF\xBB\xBFName\r\nfolder\r\n", 3), (Lines{"\xEF\xBB\xBFName", "folder", ""}));
}

TEST(TextFileTest, TextIsUtf8AndInvalidBytesAreReplaced) {
    const std::string text = "Pel\xC3\xA4\xC3\xA4 \xE2\x82\xAC \xF0\x9F\x8E\xAE";
    EXPECT_EQ(LinesOf(text + "\r\n", 2), (Lines{text, ""}));
    EXPECT_EQ(LinesOf("a\xE9z\n\xC0\xAF\n\xED\xA0\x80\n\xEF\xBF\xBD\n", 5),
              (Lines{"a\xEF\xBF\xBDz", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
                     "\xEF\xBF\xBD", ""}));
}

TEST(TextFileTest, LinesCrossTheReadAheadBuffer) {
    // A line far longer than the buffer, then a CR LF split across two buffer fills,
    // then a lone CR at a fill boundary whose next line starts in the next fill.
    std::string longLine(10000, 'x');
    for (size_t i = 0; i < longLine.size(); i += 7)
        longLine[i] = static_cast<char>('a' + i % 26);
    std::string bytes = longLine + "\n";
    std::string pad(4096 - bytes.size() % 4096 - 1, 'p');
    bytes += pad + "\r\n";  // the CR is the last byte of a fill
    std::string pad2(4094, 'q');
    bytes += pad2 + "\rnext";  // again
    Lines expected{longLine, pad, pad2, "next", ""};
    Lines lines = LinesOf(bytes, expected.size());
    for (size_t i = 0; i < expected.size(); ++i)  // compared quietly: the lines are long
        EXPECT_TRUE(lines[i] == expected[i]) << "line " << i << " has " << lines[i].size() << " bytes";
}

TEST(TextFileTest, WritesEachEncodingWithoutMark) {
    TempDir dir;
    const std::string path = dir / "Update.bat";
    ASSERT_NE(CreateTextFile(0, path), 0);
    WriteTextLine(0, "del Update.bat", TextEncoding::Ansi);
    CloseTextFile(0);
    EXPECT_EQ(ReadFileBytes(path), "del Update.bat\r\n");

    ASSERT_NE(CreateTextFile(0, path), 0);
    WriteTextLine(0, "Spiel \xC3\xA4", TextEncoding::Utf8);
    WriteTextLine(0, "", TextEncoding::Utf8);
    WriteTextLine(0, "\xC3\xA4\xF0\x9F\x8E\xAE", TextEncoding::Utf16);
    WriteTextLine(0, "", TextEncoding::Utf16);
    CloseTextFile(0);
    EXPECT_EQ(ReadFileBytes(path),
              "Spiel \xC3\xA4\r\n\r\n"
              "\xE4\x00\x3C\xD8\xAE\xDF\r\x00\n\x00"
              "\r\x00\n\x00"s);
}

TEST(TextFileTest, CodePageConversionMarksMissingCharacters) {
    if (!AnsiIsWindows1252())
        GTEST_SKIP() << "the 8-bit code page here is not Windows-1252";
    TempDir dir;
    const std::string path = dir / "ansi.txt";
    ASSERT_NE(CreateTextFile(0, path), 0);
    // é, €, Ÿ, a CJK character, then a look-alike of the quotation mark that must not
    // become a real one.
    WriteTextLine(0, "\xC3\xA9\xE2\x82\xAC\xC5\xB8|\xE4\xB8\xAD|\xEF\xBC\x82", TextEncoding::Ansi);
    CloseTextFile(0);
    EXPECT_EQ(ReadFileBytes(path), "\xE9\x80\x9F|?|?\r\n");
}

TEST(TextFileTest, BufferedAndLargeWritesKeepTheirOrder) {
    TempDir dir;
    const std::string path = dir / "big.txt";
    std::string expected;
    ASSERT_NE(CreateTextFile(3, path), 0);
    for (int i = 0; i < 300; ++i) {
        std::string line = "line " + std::to_string(i);
        if (i % 50 == 7)
            line += std::string(5000 + i, 'L');  // larger than the buffer
        WriteTextLine(3, line, TextEncoding::Utf8);
        expected += line + "\r\n";
    }
    CloseTextFile(3);
    EXPECT_EQ(ReadFileBytes(path), expected);
}

TEST(TextFileTest, CreatingEmptiesAndMissingFoldersFail) {
    TempDir dir;
    const std::string path = dir / "old.txt";
    WriteFileBytes(path, "old content that is longer\r\n");
    ASSERT_NE(CreateTextFile(0, path), 0);
    EXPECT_EQ(ReadFileBytes(path), "");
    WriteTextLine(0, "new", TextEncoding::Utf8);
    CloseTextFile(0);
    EXPECT_EQ(ReadFileBytes(path), "new\r\n");

    EXPECT_EQ(CreateTextFile(0, dir / "missing/sub/file.txt"), 0);
    EXPECT_FALSE(FileExists(dir / "missing"));
    EXPECT_EQ(OpenTextFileForReading(0, dir / "nothing.dat"), 0);
    EXPECT_FALSE(FileExists(dir / "nothing.dat"));
    // Failed opens leave a slot that reads nothing and ignores writes.
    EXPECT_EQ(ReadTextLine(0), "");
    WriteTextLine(0, "lost", TextEncoding::Utf8);
    CloseTextFile(0);
    CloseTextFile(0);
}

TEST(TextFileTest, BackslashPathsAndFoldersAsFiles) {
    TempDir dir;
    std::filesystem::create_directory(std::filesystem::u8path(dir / "data"));
    WriteFileBytes(dir / "data/game.dat", "Big Game\r\nbiggame\r\n");
    test::ScopedCurrentDirectory inside(dir.path());
    ASSERT_NE(OpenTextFileForReading(0, "data\\game.dat"), 0);
    EXPECT_EQ(ReadTextLine(0), "Big Game");
    EXPECT_EQ(ReadTextLine(0), "biggame");
    CloseTextFile(0);
    ASSERT_NE(CreateTextFile(0, "data\\Update.bat"), 0);
    CloseTextFile(0);
    EXPECT_TRUE(FileExists(dir / "data/Update.bat"));

    EXPECT_EQ(OpenTextFileForReading(0, "data"), 0);  // a folder is not a text file
    EXPECT_EQ(CreateTextFile(0, "data"), 0);
}

TEST(TextFileTest, SlotsAreIndependentAndReopeningWritesOutThePreviousFile) {
    TempDir dir;
    WriteFileBytes(dir / "in.txt", "one\ntwo\n");
    ASSERT_NE(OpenTextFileForReading(1, dir / "in.txt"), 0);
    ASSERT_NE(CreateTextFile(2, dir / "out.txt"), 0);
    EXPECT_EQ(ReadTextLine(1), "one");
    WriteTextLine(2, "copy", TextEncoding::Utf8);
    WriteTextLine(1, "ignored on a reading slot", TextEncoding::Utf8);
    EXPECT_EQ(ReadTextLine(2), "");  // a writing slot reads nothing
    EXPECT_EQ(ReadTextLine(1), "two");
    CloseTextFile(1);
    EXPECT_EQ(ReadFileBytes(dir / "in.txt"), "one\ntwo\n");

    // Opening slot 2 again closes its first file, buffered line included.
    ASSERT_NE(OpenTextFileForReading(2, dir / "in.txt"), 0);
    EXPECT_EQ(ReadFileBytes(dir / "out.txt"), "copy\r\n");
    EXPECT_EQ(ReadTextLine(2), "one");
    CloseTextFile(2);
}

TEST(TextFileTest, ThreadsUseSlotsOfTheirOwnAtTheSameTime) {
    TempDir dir;
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    std::vector<int> mismatches(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string path = dir / ("thread" + std::to_string(t) + ".txt");
            for (int round = 0; round < 20; ++round) {
                int slot = 10 + t;
                if (!CreateTextFile(slot, path)) {
                    ++mismatches[t];
                    continue;
                }
                for (int i = 0; i < 200; ++i)
                    WriteTextLine(slot, std::to_string(t) + ":" + std::to_string(i), TextEncoding::Utf8);
                CloseTextFile(slot);
                if (!OpenTextFileForReading(slot, path)) {
                    ++mismatches[t];
                    continue;
                }
                for (int i = 0; i < 200; ++i) {
                    if (ReadTextLine(slot) != std::to_string(t) + ":" + std::to_string(i))
                        ++mismatches[t];
                }
                if (ReadTextLine(slot) != "")
                    ++mismatches[t];
                CloseTextFile(slot);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

#ifdef _WIN32

using test::CanOpen;

TEST(TextFileWin32Test, OpenFilesLetOthersReadButNotWrite) {
    TempDir dir;
    const std::string path = dir / "game.dat";
    WriteFileBytes(path, "Game\r\ngame\r\n");
    ASSERT_NE(OpenTextFileForReading(0, path), 0);
    EXPECT_TRUE(CanOpen(path, GENERIC_READ, FILE_SHARE_READ));
    EXPECT_FALSE(CanOpen(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
    CloseTextFile(0);
    EXPECT_TRUE(CanOpen(path, GENERIC_WRITE, 0));

    ASSERT_NE(CreateTextFile(0, path), 0);
    EXPECT_TRUE(CanOpen(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_FALSE(CanOpen(path, GENERIC_READ, FILE_SHARE_READ));  // we write it
    EXPECT_FALSE(CanOpen(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
    CloseTextFile(0);
}

TEST(TextFileWin32Test, HiddenFilesAreEmptiedInPlace) {
    TempDir dir;
    const std::string path = dir / "Update.bat";
    WriteFileBytes(path, "old\r\n");
    ASSERT_TRUE(SetFileAttributesW(Widen(path).c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_NE(CreateTextFile(0, path), 0);
    WriteTextLine(0, "new", TextEncoding::Ansi);
    CloseTextFile(0);
    EXPECT_EQ(ReadFileBytes(path), "new\r\n");
    SetFileAttributesW(Widen(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

#else

TEST(TextFilePosixTest, WriteOnlyFilesAreEmptiedInPlace) {
    TempDir dir;
    const std::string path = dir / "Update.bat";
    WriteFileBytes(path, "old\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0200), 0);
    ASSERT_NE(CreateTextFile(0, path), 0);
    WriteTextLine(0, "new", TextEncoding::Ansi);
    CloseTextFile(0);
    chmod(path.c_str(), 0600);
    EXPECT_EQ(ReadFileBytes(path), "new\r\n");
}

#endif

}  // namespace
}  // namespace zefo
