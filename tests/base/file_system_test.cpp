#include "base/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/ascii.h"
#include "common/temp_dir.h"
#include "common/test_data.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zefo {
namespace {

namespace fs = std::filesystem;
using test::Md5Of;
using test::Pattern;
using test::SystemMd5sum;
using test::TempDir;

constexpr char kSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

// UTF-8 text to a path, independent of the Windows ANSI code page.
fs::path U8(const std::string& path) {
    return fs::path(std::u8string(path.begin(), path.end()));
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(U8(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(U8(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool IsDirectory(const std::string& path) {
    std::error_code error;
    return fs::is_directory(U8(path), error);
}

bool Exists(const std::string& path) {
    std::error_code error;
    return fs::exists(U8(path), error);
}

TEST(FileFingerprintTest, NothingReadableGivesTheEmptyText) {
    TempDir dir;
    fs::create_directory(U8(dir / "folder"));
    EXPECT_EQ(FileFingerprint(""), "");
    EXPECT_EQ(FileFingerprint(dir / "missing.bin"), "");
    EXPECT_EQ(FileFingerprint(dir / "folder"), "");
    EXPECT_EQ(FileFingerprint(dir / "folder" + kSeparator), "");
    EXPECT_EQ(FileFingerprint(dir / "missing-folder/file.bin"), "");
    WriteBytes(dir / "file.bin", "abc");
    EXPECT_EQ(FileFingerprint(dir / "file.bin" + std::string("\0x", 2)), "") << "a NUL must not cut the name";
}

TEST(FileFingerprintTest, SizesAroundTheReadBlockMatchEveryOtherDigest) {
    TempDir dir;
    struct Case {
        size_t size;
        uint32_t seed;
        const char* md5;  // verified with md5sum; empty where only computed here
    };
    const Case cases[] = {
        {0, 1, "d41d8cd98f00b204e9800998ecf8427e"},
        {1, 1, "f664908b48b07e34c3472a6243f37cbf"},
        {999999, 5, ""},
        {1000000, 1, "d66afbcaa8c67a78da3b0748831198a7"},
        {1000001, 5, ""},
        {2000000, 5, ""},
        {3000007, 7, "29bdd3bb0f7e67a09a33c88e64c611f8"},
    };
    for (const Case& c : cases) {
        const std::string path = dir / ("data-" + std::to_string(c.size) + ".bin");
        const std::string bytes = Pattern(c.size, c.seed);
        WriteBytes(path, bytes);
        const std::string fingerprint = FileFingerprint(path);
        EXPECT_TRUE(IsLowerHexText(fingerprint, 32)) << c.size << ": " << fingerprint;
        EXPECT_EQ(fingerprint, Md5Of(bytes)) << c.size;
        if (*c.md5) {
            EXPECT_EQ(fingerprint, c.md5) << c.size;
        }
#ifndef _WIN32
        EXPECT_EQ(fingerprint, SystemMd5sum(path)) << c.size;
#endif
    }
}

TEST(FileFingerprintTest, BackslashesAndUtf8NamesReachTheSameFile) {
    TempDir dir;
    fs::create_directory(U8(dir / "sub dir"));
    const std::string name = "sub dir/\xc3\xa4pfel-\xe6\x97\xa5\xe6\x9c\xac.dat";
    WriteBytes(dir / name, "zefo");
    const std::string expected = Md5Of("zefo");
    EXPECT_EQ(FileFingerprint(dir / name), expected);
    EXPECT_EQ(FileFingerprint(dir / "sub dir\\\xc3\xa4pfel-\xe6\x97\xa5\xe6\x9c\xac.dat"), expected);
    EXPECT_EQ(QueryFileSize(dir / "sub dir\\\xc3\xa4pfel-\xe6\x97\xa5\xe6\x9c\xac.dat"), 4);
    // Not UTF-8: names no file rather than some other one.
    EXPECT_EQ(FileFingerprint(dir / "sub dir/\xc3("), "");
}

TEST(FileFingerprintTest, ConcurrentCallersGetTheirOwnResults) {
    TempDir dir;
    std::vector<std::string> expected;
    for (int i = 0; i < 4; ++i) {
        const std::string bytes = Pattern(1500000 + static_cast<size_t>(i) * 7, static_cast<uint32_t>(i));
        // Names appended rather than "f" + std::to_string(i), which GCC 12 at -O3
        // takes for an overlapping copy (-Wrestrict).
        WriteBytes(dir / std::string("f").append(std::to_string(i)), bytes);
        expected.push_back(Md5Of(bytes));
    }
    std::vector<std::string> results(8);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < results.size(); ++t)
        threads.emplace_back(
            [&, t] { results[t] = FileFingerprint(dir / std::string("f").append(std::to_string(t % 4))); });
    for (auto& thread : threads)
        thread.join();
    for (size_t t = 0; t < results.size(); ++t)
        EXPECT_EQ(results[t], expected[t % 4]) << t;
}

#ifndef _WIN32
TEST(FileFingerprintTest, OnlyRegularFilesAreRead) {
    TempDir dir;
    EXPECT_EQ(FileFingerprint("/dev/null"), "");
    // A pipe would block a reader forever.
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(FileFingerprint(dir / "pipe"), "");
}
#else
TEST(FileFingerprintTest, DevicesAndFilesOpenForWritingGiveTheEmptyText) {
    TempDir dir;
    EXPECT_EQ(FileFingerprint("nul"), "");
    EXPECT_EQ(FileFingerprint("CON"), "");

    const std::string path = dir / "busy.bin";
    WriteBytes(path, "being written");
    EXPECT_EQ(FileFingerprint(path), Md5Of("being written"));
    // A writer that lets others read: the fingerprint must not see a half-written file.
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(FileFingerprint(path), "");
    CloseHandle(writer);
    EXPECT_EQ(FileFingerprint(path), Md5Of("being written"));
}
#endif

TEST(QueryFileSizeTest, FilesFoldersAndNothing) {
    TempDir dir;
    fs::create_directory(U8(dir / "folder"));
    WriteBytes(dir / "empty.bin", "");
    WriteBytes(dir / "folder/seven.bin", "1234567");

    EXPECT_EQ(QueryFileSize(""), -1);
    EXPECT_EQ(QueryFileSize(dir / "missing"), -1);
    EXPECT_EQ(QueryFileSize(dir / "missing/deeper"), -1);
    EXPECT_EQ(QueryFileSize(dir / "empty.bin"), 0);
    EXPECT_EQ(QueryFileSize(dir / "folder\\seven.bin"), 7);
    EXPECT_EQ(QueryFileSize(dir / "folder/seven.bin"), 7);
    EXPECT_EQ(QueryFileSize(dir / "folder"), -2);
    EXPECT_EQ(QueryFileSize(dir / "folder\\"), -2);
    EXPECT_EQ(QueryFileSize(dir / "folder/"), -2);
    EXPECT_EQ(QueryFileSize(dir / "folder\\\\"), -2);
    EXPECT_EQ(QueryFileSize(dir.path()), -2);
    EXPECT_EQ(QueryFileSize(dir / "empty.bin" + std::string("\0.x", 3)), -1);

    test::ScopedCurrentDirectory inside(dir.path());
    EXPECT_EQ(QueryFileSize("folder\\seven.bin"), 7);
    EXPECT_EQ(QueryFileSize("folder\\"), -2);
}

TEST(QueryFileSizeTest, WildcardsAreNeverPatterns) {
    TempDir dir;
    WriteBytes(dir / "abc.txt", "abc");
    fs::create_directory(U8(dir / "sub"));
    EXPECT_EQ(QueryFileSize(dir / "abc.txt"), 3);
    EXPECT_EQ(QueryFileSize(dir / "*"), -1);
    EXPECT_EQ(QueryFileSize(dir / "*.txt"), -1);
    EXPECT_EQ(QueryFileSize(dir / "ab?.txt"), -1);
    EXPECT_EQ(QueryFileSize(dir / "s*"), -1);
    EXPECT_EQ(QueryFileSize(dir / "s?b\\"), -1);
#ifndef _WIN32
    // Even a file literally named so is not looked up.
    WriteBytes(dir / "a*b", "x");
    EXPECT_EQ(QueryFileSize(dir / "a*b"), -1);
#endif
}

TEST(QueryFileSizeTest, SparseFileLargerThanFourGiB) {
    TempDir dir;
    const std::string path = dir / "large.bin";
    const int64_t size = (int64_t{5} << 30) + 3;
#ifdef _WIN32
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = size;
    const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(sized);
#else
    WriteBytes(path, "");
    ASSERT_EQ(truncate(path.c_str(), size), 0);
#endif
    EXPECT_EQ(QueryFileSize(path), size);
}

TEST(QueryFileSizeTest, PathsLongerThan260Units) {
    TempDir dir;
    // Several levels of 60 characters each, well past 260 in total.
    std::string deep = dir.path();
    const std::string level(60, 'd');
    for (int i = 0; i < 6; ++i)
        deep += level + std::to_string(i) + kSeparator;
    ASSERT_GT(deep.size(), 360u);
    EnsureDirectory(deep);
    EXPECT_EQ(QueryFileSize(deep), -2);
    // The name cut at 260 units would be a different (missing) folder.
    EXPECT_EQ(QueryFileSize(deep.substr(0, 260)), -1);

    WriteBytes(dir / "short.bin", "long way down");
    const std::string file = deep + "file.bin";
    ASSERT_TRUE(MoveFileOver(dir / "short.bin", file));
    EXPECT_EQ(QueryFileSize(file), 13);
    EXPECT_EQ(FileFingerprint(file), Md5Of("long way down"));
    EXPECT_FALSE(MakeDirectory(deep));
    EXPECT_TRUE(MakeDirectory(deep + "more"));
    EXPECT_EQ(QueryFileSize(deep + "more\\"), -2);
    EXPECT_TRUE(RemoveFile(file));
    EXPECT_EQ(QueryFileSize(file), -1);
#ifdef _WIN32
    // The standard library here cannot remove what it cannot name; clean up in the
    // extended form so the temporary folder can go.
    std::wstring wide = L"\\\\?\\" + std::wstring(deep.begin(), deep.end());
    RemoveDirectoryW((wide + L"more").c_str());
    for (int i = 5; i >= 0; --i) {
        wide.pop_back();
        RemoveDirectoryW(wide.c_str());
        wide.erase(wide.find_last_of(L'\\') + 1);
    }
#endif
}

TEST(PathPartTest, FolderUpToTheLastSeparatorBeforeAnyBar) {
    EXPECT_EQ(PathPart("data\\maps\\a.map"), "data\\maps\\");
    EXPECT_EQ(PathPart("data/maps/a.map"), "data/maps/");
    EXPECT_EQ(PathPart("data\\maps/a.map"), "data\\maps/");
    EXPECT_EQ(PathPart("Update.exe"), "");
    EXPECT_EQ(PathPart(""), "");
    EXPECT_EQ(PathPart("a\\b|c\\d"), "a\\");
    EXPECT_EQ(PathPart("|a\\b"), "");
    EXPECT_EQ(PathPart("a\\b\\"), "a\\b\\");
    EXPECT_EQ(PathPart("\"C:\\Games\\Zefo\\Update.exe\" now"), "C:\\Games\\Zefo\\");
    EXPECT_EQ(PathPart("\""), "");
}

TEST(MakeDirectoryTest, OneLevelAfterStrippingTrailingBlanksAndSeparators) {
    TempDir dir;
    EXPECT_TRUE(MakeDirectory(dir / "plain"));
    EXPECT_TRUE(IsDirectory(dir / "plain"));
    EXPECT_FALSE(MakeDirectory(dir / "plain")) << "an existing directory";

    EXPECT_TRUE(MakeDirectory(dir / "spaced\\  "));
    EXPECT_TRUE(IsDirectory(dir / "spaced"));
    EXPECT_TRUE(MakeDirectory(dir / "mixed/ \\ / "));
    EXPECT_TRUE(IsDirectory(dir / "mixed"));

    EXPECT_FALSE(MakeDirectory(dir / "no-parent/child"));
    EXPECT_FALSE(Exists(dir / "no-parent"));
    EXPECT_FALSE(MakeDirectory(""));
    EXPECT_FALSE(MakeDirectory("  \\/ "));

    EXPECT_TRUE(MakeDirectory(dir / "plain\\inner"));
    EXPECT_TRUE(IsDirectory(dir / "plain/inner"));
    EXPECT_TRUE(MakeDirectory(dir / "\xc3\xbc\xc3\xb6"));
    EXPECT_TRUE(IsDirectory(dir / "\xc3\xbc\xc3\xb6"));
}

TEST(EnsureDirectoryTest, CreatesTheMissingLevelsOnly) {
    TempDir dir;
    test::ScopedCurrentDirectory inside(dir.path());

    EnsureDirectory("a\\b\\c\\");
    EXPECT_TRUE(IsDirectory(dir / "a/b/c"));

    WriteBytes(dir / "a/b/keep.txt", "kept");
    EnsureDirectory("a\\b\\d\\");
    EXPECT_TRUE(IsDirectory(dir / "a/b/d"));
    EXPECT_EQ(ReadBytes(dir / "a/b/keep.txt"), "kept");
    EXPECT_TRUE(IsDirectory(dir / "a/b/c"));

    EnsureDirectory("x/y\\z/");
    EXPECT_TRUE(IsDirectory(dir / "x/y/z"));

    EnsureDirectory(dir / "abs\\olute\\path\\");
    EXPECT_TRUE(IsDirectory(dir / "abs/olute/path"));

    // A file in the way stops the levels below it without harm.
    WriteBytes(dir / "file", "f");
    EnsureDirectory("file\\sub\\");
    EXPECT_EQ(ReadBytes(dir / "file"), "f");
    EXPECT_FALSE(Exists(dir / "file/sub"));

    size_t before = 0, after = 0;
    for ([[maybe_unused]] auto& entry : fs::directory_iterator(U8(dir.path())))
        ++before;
    EnsureDirectory("");
    for ([[maybe_unused]] auto& entry : fs::directory_iterator(U8(dir.path())))
        ++after;
    EXPECT_EQ(before, after);

    std::string deep;
    for (int i = 0; i < 40; ++i)
        deep.append("l").append(std::to_string(i)).append("\\");  // appended, as above (-Wrestrict)
    EnsureDirectory(deep);
    EXPECT_EQ(QueryFileSize(deep), -2);
}

TEST(CurrentDirectoryTest, EndsInOneSeparatorAndFollowsChanges) {
    TempDir dir;
    fs::create_directory(U8(dir / "sub"));
    fs::create_directory(U8(dir / "sub/inner"));
    fs::create_directory(U8(dir / "\xc3\xa4\xc3\xb6"));
    test::ScopedCurrentDirectory restore(dir.path());

    std::string current = CurrentDirectory();
    ASSERT_FALSE(current.empty());
    EXPECT_EQ(current.back(), kSeparator);
    EXPECT_NE(current[current.size() - 2], kSeparator);
    EXPECT_EQ(QueryFileSize(current), -2);
    WriteBytes(dir / "probe", "here");
    EXPECT_EQ(QueryFileSize(current + "probe"), 4) << current;

    EXPECT_TRUE(ChangeDirectory("sub\\inner"));
    EXPECT_EQ(CurrentDirectory(), current + "sub" + kSeparator + "inner" + kSeparator);
    EXPECT_TRUE(ChangeDirectory(current + "\xc3\xa4\xc3\xb6"));
    EXPECT_EQ(CurrentDirectory(), current + "\xc3\xa4\xc3\xb6" + kSeparator);

    EXPECT_FALSE(ChangeDirectory(""));
    EXPECT_FALSE(ChangeDirectory(current + "missing"));
    EXPECT_EQ(CurrentDirectory(), current + "\xc3\xa4\xc3\xb6" + kSeparator);

    // At a root the separator is already there.
#ifdef _WIN32
    const std::string root = current.substr(0, 3);
#else
    const std::string root = "/";
#endif
    EXPECT_TRUE(ChangeDirectory(root));
    EXPECT_EQ(CurrentDirectory(), root);
}

TEST(ReplaceFileTest, MovesOverTheTargetInOneStep) {
    TempDir dir;
    WriteBytes(dir / "new.tmp", "new content");
    WriteBytes(dir / "target.dat", "old");
    EXPECT_TRUE(MoveFileOver(dir / "new.tmp", dir / "target.dat"));
    EXPECT_EQ(ReadBytes(dir / "target.dat"), "new content");
    EXPECT_FALSE(Exists(dir / "new.tmp"));

    WriteBytes(dir / "second.tmp", "2");
    EXPECT_TRUE(MoveFileOver(dir / "second.tmp", dir / "fresh.dat"));
    EXPECT_EQ(ReadBytes(dir / "fresh.dat"), "2");

    EXPECT_FALSE(MoveFileOver(dir / "missing.tmp", dir / "target.dat"));
    EXPECT_EQ(ReadBytes(dir / "target.dat"), "new content");
    EXPECT_FALSE(MoveFileOver("", dir / "target.dat"));
    EXPECT_FALSE(MoveFileOver(dir / "target.dat", ""));
    EXPECT_EQ(ReadBytes(dir / "target.dat"), "new content");

    fs::create_directory(U8(dir / "folder"));
    WriteBytes(dir / "third.tmp", "3");
    EXPECT_FALSE(MoveFileOver(dir / "third.tmp", dir / "folder"));
    EXPECT_TRUE(IsDirectory(dir / "folder"));

    fs::create_directory(U8(dir / "sub"));
    EXPECT_TRUE(MoveFileOver(dir / "third.tmp", dir / "sub\\third.dat"));
    EXPECT_EQ(ReadBytes(dir / "sub/third.dat"), "3");
}

TEST(RemoveFileTest, TrueWhenTheFileIsGone) {
    TempDir dir;
    WriteBytes(dir / "doomed.txt", "x");
    EXPECT_TRUE(RemoveFile(dir / "doomed.txt"));
    EXPECT_FALSE(Exists(dir / "doomed.txt"));
    EXPECT_TRUE(RemoveFile(dir / "doomed.txt")) << "already gone";
    EXPECT_FALSE(RemoveFile(""));

    fs::create_directory(U8(dir / "folder"));
    EXPECT_FALSE(RemoveFile(dir / "folder"));
    EXPECT_TRUE(IsDirectory(dir / "folder"));

    WriteBytes(dir / "folder/inner.txt", "y");
    EXPECT_TRUE(RemoveFile(dir / "folder\\inner.txt"));
    EXPECT_FALSE(Exists(dir / "folder/inner.txt"));
}

TEST(FileNamesTest, RegularFilesOnlyUpToTheLimit) {
    TempDir dir;
    WriteBytes(dir / "a.zci", "x");
    WriteBytes(dir / "b.zci", "y");
    fs::create_directory(U8(dir / "folder"));
#ifndef _WIN32
    fs::create_symlink(U8(dir / "a.zci"), U8(dir / "link.zci"));
#endif
    std::vector<std::string> names = FileNames(dir.path(), 10);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.zci", "b.zci"}));
    EXPECT_EQ(FileNames(dir.path(), 1).size(), 1u);
    EXPECT_TRUE(FileNames(dir / "missing", 10).empty());
}

#ifdef _WIN32
// A drive letter that names no drive here.
std::string MissingDrive() {
    const DWORD drives = GetLogicalDrives();
    for (int letter = 'Z'; letter >= 'D'; --letter) {
        if (!(drives & (1u << (letter - 'A'))))
            return std::string(1, static_cast<char>(letter)) + ":";
    }
    return {};
}

TEST(QueryFileSizeWindowsTest, DriveDesignations) {
    TempDir dir;
    const std::string drive = dir.path().substr(0, 2);
    ASSERT_EQ(drive[1], ':');
    EXPECT_EQ(QueryFileSize(drive), -2);
    EXPECT_EQ(QueryFileSize(drive + "\\"), -2);
    EXPECT_EQ(QueryFileSize(drive + "/"), -2);

    const std::string missing = MissingDrive();
    ASSERT_FALSE(missing.empty());
    EXPECT_EQ(QueryFileSize(missing), -1);
    EXPECT_EQ(QueryFileSize(missing + "\\"), -1);
    EXPECT_EQ(QueryFileSize(missing + "\\file.txt"), -1);

    // "C:name" is a name relative to that drive's current directory, not the drive.
    WriteBytes(dir / "n", "12345");
    test::ScopedCurrentDirectory inside(dir.path());
    EXPECT_EQ(QueryFileSize(drive + "n"), 5);
    EXPECT_EQ(QueryFileSize(drive + "m"), -1);
}

TEST(QueryFileSizeWindowsTest, NetworkNamesThatAreNotThere) {
    EXPECT_EQ(QueryFileSize("\\\\zefo-no-such-server\\share"), -1);
    EXPECT_EQ(QueryFileSize("\\\\zefo-no-such-server\\share\\"), -1);
    EXPECT_EQ(QueryFileSize("\\\\zefo-no-such-server\\share\\file.txt"), -1);
    EXPECT_EQ(QueryFileSize("\\\\"), -1);
}

TEST(QueryFileSizeWindowsTest, WildcardsNeverReachTheDirectorySearch) {
    TempDir dir;
    WriteBytes(dir / "game.dat", "12");
    // The system's own search would find game.dat for each of these.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir / "g*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    EXPECT_EQ(QueryFileSize(dir / "g*"), -1);
    EXPECT_EQ(QueryFileSize(dir / "game.da?"), -1);
    EXPECT_EQ(QueryFileSize(dir / "game.dat"), 2);
}
#endif

}  // namespace
}  // namespace zefo
