#include "sync/launch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "common/environment.h"
#include "common/temp_dir.h"

#ifdef _WIN32
#include <windows.h>

#include <cstring>
#include <vector>

#include "sync/launch_internal.h"
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#endif

namespace zefo {
namespace {

using test::FileExists;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

constexpr char kChildVariable[] = "ZEFO_TEST_PROGRAM_PATH_OUT";

// Started by a test below with this variable set, the test program only writes its
// own ProgramPath() there and ends (before any test runs).
const bool childMode = [] {
    const char* out = std::getenv(kChildVariable);
    if (!out || !*out)
        return false;
    std::string part = std::string(out) + ".part";
    WriteFileBytes(part, ProgramPath());
    std::rename(part.c_str(), out);
    std::exit(0);
}();

bool WaitFor(const std::function<bool()>& done, int seconds = 20) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

#ifdef _WIN32
constexpr char kScriptName[] = "make marker.bat";
// Waits (bounded) for the "go" file, so the marker proves the launch did not wait for the script.
std::string MarkerScript(const std::string& dir, const std::string& text) {
    return "@echo off\r\nset n=0\r\n:wait\r\nif exist \"" + dir + "go\" goto done\r\nset /a n=n+1\r\n" +
           "if %n% lss 200000 goto wait\r\nexit\r\n:done\r\necho " + text + "> \"" + dir + "marker.txt\"\r\n";
}
#else
constexpr char kScriptName[] = "make marker.sh";
std::string MarkerScript(const std::string& dir, const std::string& text) {
    return "n=0\nwhile [ ! -e '" + dir + "go' ] && [ $n -lt 500 ]; do sleep 0.02; n=$((n+1)); done\n" + "[ -e '" + dir +
           "go' ] && echo " + text + " > '" + dir + "marker.txt'\n";
}
#endif

bool MarkerSays(const std::string& dir, const std::string& text) {
    return WaitFor([&] { return ReadFileBytes(dir + "marker.txt").rfind(text, 0) == 0; });
}

TEST(LaunchTest, ScriptsRunWithoutBeingWaitedFor) {
    TempDir dir;
    const std::string script = dir / kScriptName;  // a blank in the name needs the quotes
    WriteFileBytes(script, MarkerScript(dir.path(), "first"));
    EXPECT_TRUE(LaunchProgram(script));
    WriteFileBytes(dir / "go", "");
    EXPECT_TRUE(MarkerSays(dir.path(), "first"));

    // Already quoted: used as it stands, not quoted again.
    std::remove((dir / "go").c_str());
    WriteFileBytes(script, MarkerScript(dir.path(), "second"));
    LaunchProgram("\"" + script + "\"");
    WriteFileBytes(dir / "go", "");
    EXPECT_TRUE(MarkerSays(dir.path(), "second"));

    EXPECT_FALSE(LaunchProgram(dir / "no such program.exe"));
    EXPECT_FALSE(LaunchProgram(""));
}

TEST(LaunchTest, ProgramPathNamesThisExecutableWithoutLongPathPrefix) {
    const std::string self = ProgramPath();
    ASSERT_FALSE(self.empty());
    EXPECT_NE(self.find("zefo_sync_tests"), std::string::npos) << self;
    EXPECT_EQ(self.rfind("\\\\?\\", 0), std::string::npos) << self;
    EXPECT_TRUE(FileExists(self));

    // A copy of this program started through the long-path form reports the plain path.
    // The filter makes a copy that missed the variable run no tests at all.
    TempDir dir;
    const std::string out = dir / "path.txt";
    test::SetEnvironment(kChildVariable, out);
#ifdef _WIN32
    LaunchProgram("\"\\\\?\\" + self + "\" --gtest_filter=-*");
#else
    LaunchProgram("\"" + self + "\" --gtest_filter=-*");
#endif
    test::SetEnvironment(kChildVariable, "");
    ASSERT_TRUE(WaitFor([&] { return FileExists(out); }));
    EXPECT_EQ(ReadFileBytes(out), self);
}

std::atomic<int> sum{0};
std::atomic<int> finished{0};

int AddArgument(int argument) {
    sum.fetch_add(argument, std::memory_order_relaxed);
    finished.fetch_add(1, std::memory_order_release);
    return 0;
}

int UseDeepStack(int argument) {
    // Far more than the initial commit: the stack must still grow on demand.
    volatile char block[512 * 1024];
    for (size_t i = 0; i < sizeof block; i += 4096)
        block[i] = static_cast<char>(argument);
    sum.fetch_add(block[sizeof block - 4096], std::memory_order_relaxed);
    finished.fetch_add(1, std::memory_order_release);
    return 0;
}

TEST(StartThreadTest, ThreadsRunWithTheirArgumentAndNumbersCountUp) {
    sum = 0;
    finished = 0;
    uint32_t previous = StartThread(AddArgument, 1);
    ASSERT_GT(previous, 0u);
    for (int i = 2; i <= 200; ++i) {
        uint32_t number = StartThread(AddArgument, i);
        EXPECT_EQ(number, previous + 1);
        previous = number;
    }
    EXPECT_EQ(StartThread(nullptr, 1), 0u);
    ASSERT_TRUE(WaitFor([] { return finished.load(std::memory_order_acquire) == 200; }));
    EXPECT_EQ(sum.load(), 200 * 201 / 2);

    EXPECT_EQ(StartThread(UseDeepStack, 3), previous + 1);
    ASSERT_TRUE(WaitFor([] { return finished.load(std::memory_order_acquire) == 201; }));
    EXPECT_EQ(sum.load(), 200 * 201 / 2 + 3);
}

std::atomic<bool> gateOpen{false};
int written = 0;  // plain: WaitForThreads must make the write visible

int WriteBehindGate(int argument) {
    while (!gateOpen.load(std::memory_order_acquire))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    written = argument;
    return 0;
}

TEST(StartThreadTest, WaitForThreadsWaitsUntilEveryProcedureReturned) {
    ASSERT_TRUE(WaitForThreads(10000));
    gateOpen = false;
    written = 0;
    ASSERT_GT(StartThread(WriteBehindGate, 42), 0u);
    EXPECT_FALSE(WaitForThreads(50));
    gateOpen.store(true, std::memory_order_release);
    ASSERT_TRUE(WaitForThreads(10000));
    EXPECT_EQ(written, 42);
}

#ifdef _WIN32

// Handles this process holds, counted in the system's handle table (the per-process
// count is not kept by every Windows implementation).
int OwnHandleCount() {
    struct Entry {
        ULONG process;
        BYTE type;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    using Query = LONG(WINAPI*)(int, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return -1;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ULONG length = 0;
        LONG status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &length);
        if (status == static_cast<LONG>(0xC0000004) && buffer.size() < (256u << 20)) {  // buffer too small
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0)
            return -1;
        break;
    }
    ULONG entries = 0;
    std::memcpy(&entries, buffer.data(), sizeof entries);
    int own = 0;
    const size_t first = sizeof(void*);  // the count, padded to the entries' alignment
    for (ULONG i = 0; i < entries; ++i) {
        Entry entry;
        std::memcpy(&entry, buffer.data() + first + i * sizeof(Entry), sizeof entry);
        if (entry.process == GetCurrentProcessId())
            ++own;
    }
    return own;
}

TEST(StartThreadWin32Test, HandlesOfEndedThreadsAreDropped) {
    finished = 0;
    StartThread(AddArgument, 0);
    ASSERT_TRUE(WaitFor([] { return finished.load(std::memory_order_acquire) == 1; }));
    int before = OwnHandleCount();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 300; ++i)
        StartThread(AddArgument, 0);
    ASSERT_TRUE(WaitFor([] { return finished.load(std::memory_order_acquire) == 301; }));
    StartThread(AddArgument, 0);  // drops the ended ones
    ASSERT_TRUE(WaitFor([] { return finished.load(std::memory_order_acquire) == 302; }));
    int after = OwnHandleCount();
    EXPECT_LT(after, before + 20) << before << " handles before, " << after << " after";
}

TEST(LaunchWin32Test, LongPathPrefixIsRemoved) {
    using launch_detail::WithoutLongPathPrefix;
    EXPECT_EQ(WithoutLongPathPrefix("\\\\?\\C:\\Games\\Update.exe"), "C:\\Games\\Update.exe");
    EXPECT_EQ(WithoutLongPathPrefix("\\\\?\\UNC\\server\\share\\Update.exe"), "\\\\server\\share\\Update.exe");
    EXPECT_EQ(WithoutLongPathPrefix("C:\\Games\\Update.exe"), "C:\\Games\\Update.exe");
    EXPECT_EQ(WithoutLongPathPrefix("\\\\server\\share\\Update.exe"), "\\\\server\\share\\Update.exe");
}

// A file type whose "open" command writes a marker into its working folder: the shell
// fallback must start it in the document's own folder. (Registered in the classes root:
// Wine does not look at per-user classes.)
TEST(LaunchWin32Test, DocumentsGoToTheShellInTheirFolder) {
    const wchar_t* extension = L".zefotestdoc";
    const wchar_t* type = L"ZefoTestDocument";
    auto setValue = [](const std::wstring& key, const std::wstring& value) {
        HKEY handle = nullptr;
        if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr))
            return false;
        LONG result = RegSetValueExW(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(handle);
        return result == ERROR_SUCCESS;
    };
    if (!setValue(extension, type))
        GTEST_SKIP() << "no right to register a file type here";
    ASSERT_TRUE(setValue(std::wstring(type) + L"\\shell\\open\\command", L"cmd.exe /c echo opened> marker.txt"));

    TempDir dir;
    WriteFileBytes(dir / "notes.zefotestdoc", "text");
    LaunchProgram(dir / "notes.zefotestdoc");
    EXPECT_TRUE(MarkerSays(dir.path(), "opened"));

    RegDeleteTreeW(HKEY_CLASSES_ROOT, extension);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, type);
}

#else

// Children of this process that have ended but were never collected.
int ZombieChildren() {
    int zombies = 0;
    const std::string self = std::to_string(getpid());
    DIR* proc = opendir("/proc");
    if (!proc)
        return -1;
    while (dirent* entry = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        size_t close = line.rfind(')');
        if (close == std::string::npos || close + 4 >= line.size())
            continue;
        char state = line[close + 2];
        std::string rest = line.substr(close + 4);
        std::string parent = rest.substr(0, rest.find(' '));
        if (parent == self && state == 'Z')
            ++zombies;
    }
    closedir(proc);
    return zombies;
}

TEST(LaunchPosixTest, EndedChildrenAreCollected) {
    TempDir dir;
    const std::string program = dir / "tool";  // an executable of its own, started directly
    WriteFileBytes(program, "#!/bin/sh\necho direct > '" + dir.path() + "marker.txt'\n");
    ASSERT_EQ(chmod(program.c_str(), 0700), 0);
    for (int i = 0; i < 5; ++i)
        LaunchProgram(program);
    EXPECT_TRUE(MarkerSays(dir.path(), "direct"));
    EXPECT_TRUE(WaitFor([] { return ZombieChildren() == 0; })) << ZombieChildren() << " zombies";
}

#endif

}  // namespace
}  // namespace zefo
