#include "support/crash_report.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "common/temp_dir.h"

namespace zefo {
namespace {

FaultRecord AccessViolation() {
    FaultRecord record;
    record.code = 0xC0000005;
    record.codeAddress = 0x7FF612345678;
    record.targetAddress = -8796093018112;  // 0xFFFFF80000001000
    record.line = -1;
    const uint32_t registers[8] = {0, 1, 0x80000000, 0xFFFFFFFF, 0x0061FE10, 0xDEADBEEF, 42, 0x7FFFFFFF};
    for (int n = 0; n < 8; ++n)
        record.registers[n] = registers[n];
    return record;
}

TEST(CrashReport, ReportTextByteForByte) {
    EXPECT_EQ(ErrorReport(AccessViolation()),
              "A program error was detected:\r"
              "\r"
              "Error Message:   Invalid memory access\r"
              "Error Code:      -1073741819\r"
              "Code Address:    140694844102264\r"
              "Target Address:  -8796093018112\r"
              "Sourcecode line: Enable OnError lines support to get code line information.\r"
              "\r"
              "Register content:\r"
              "EAX = 0\r"
              "EBX = 1\r"
              "ECX = -2147483648\r"
              "EDX = -1\r"
              "EBP = 6422032\r"
              "ESI = -559038737\r"
              "EDI = 42\r"
              "ESP = 2147483647\r");

    // Integer division: no target line even with a target captured; with line
    // information the line and the source file.
    FaultRecord divide;
    divide.code = 0xC0000094;
    divide.codeAddress = -2147479552;  // a 32-bit address at 0x80001000
    divide.targetAddress = 1234;
    divide.line = 57;
    divide.sourceFile = "C:\\build\\zefo\\main.cpp";
    EXPECT_EQ(ErrorReport(divide),
              "A program error was detected:\r"
              "\r"
              "Error Message:   Division by zero \r"
              "Error Code:      -1073741676\r"
              "Code Address:    -2147479552\r"
              "Sourcecode line: 57\r"
              "Sourcecode file: C:\\build\\zefo\\main.cpp\r"
              "\r"
              "Register content:\r"
              "EAX = 0\r"
              "EBX = 0\r"
              "ECX = 0\r"
              "EDX = 0\r"
              "EBP = 0\r"
              "ESI = 0\r"
              "EDI = 0\r"
              "ESP = 0\r");

    FaultRecord unknown;
    unknown.code = 0xE06D7363;
    std::string text = ErrorReport(unknown);
    EXPECT_NE(text.find("\rError Message:   Unknown error code\rError Code:      -529697949\r"), std::string::npos);
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(CrashReport, MessagesAndQueries) {
    EXPECT_STREQ(FaultMessage(0xC0000005), "Invalid memory access");
    EXPECT_STREQ(FaultMessage(0xC000008C), "Array bounds exceeded");
    EXPECT_STREQ(FaultMessage(0x80000003), "Debugger breakpoint reached");
    EXPECT_STREQ(FaultMessage(0x80000002), "Misaligned data access");
    EXPECT_STREQ(FaultMessage(0xC000008E), "Division by zero (floating-point)");
    EXPECT_STREQ(FaultMessage(0xC0000091), "Floating-point overflow (exponent to great)");
    EXPECT_STREQ(FaultMessage(0xC0000093), "Floating-point underflow (exponent too small)");
    EXPECT_STREQ(FaultMessage(0xC0000094), "Division by zero ");
    EXPECT_STREQ(FaultMessage(0xC0000025), "Exception handler tried to continue after non-continuable exception");
    EXPECT_STREQ(FaultMessage(0xC00000FD), "Stack overflow");
    EXPECT_STREQ(FaultMessage(0), "Unknown error code");
    EXPECT_STREQ(FaultMessage(0xC0000097), "Unknown error code");

    FaultRecord record = AccessViolation();
    EXPECT_EQ(FaultRegister(record, 0), 0);
    EXPECT_EQ(FaultRegister(record, 2), INT32_MIN);
    EXPECT_EQ(FaultRegister(record, 7), INT32_MAX);
    EXPECT_EQ(FaultRegister(record, 8), 0);
    EXPECT_EQ(FaultRegister(record, -1), 0);
    EXPECT_EQ(FaultLine(record), -1);
    record.line = 12;
    EXPECT_EQ(FaultLine(record), 12);
    // The program records no line information.
    EXPECT_EQ(sourceLineMarker.load(), -1);
}

// The handling in place before the first installation comes back at the end,
// also when the handler was installed twice.
TEST(CrashReport, RemovingPutsBackTheHandlingFromBeforeTheFirstInstallation) {
#ifdef _WIN32
    auto current = [] {
        LPTOP_LEVEL_EXCEPTION_FILTER filter = SetUnhandledExceptionFilter(nullptr);
        SetUnhandledExceptionFilter(filter);
        return filter;
    };
    LPTOP_LEVEL_EXCEPTION_FILTER before = current();
    InstallFaultHandler(CrashHandler);
    LPTOP_LEVEL_EXCEPTION_FILTER ours = current();
    InstallFaultHandler(CrashHandler);
    EXPECT_NE(ours, before);
    EXPECT_EQ(current(), ours);
    RemoveFaultHandler();
    EXPECT_EQ(current(), before);
#else
    auto current = [](int signal) {
        struct sigaction action {};
        sigaction(signal, nullptr, &action);
        return reinterpret_cast<void*>(action.sa_flags & SA_SIGINFO ? reinterpret_cast<void*>(action.sa_sigaction)
                                                                    : reinterpret_cast<void*>(action.sa_handler));
    };
    for (int signal : {SIGSEGV, SIGFPE, SIGILL, SIGBUS}) {
        void* before = current(signal);
        InstallFaultHandler(CrashHandler);
        void* ours = current(signal);
        InstallFaultHandler(CrashHandler);
        EXPECT_NE(ours, before) << signal;
        EXPECT_EQ(current(signal), ours) << signal;
        RemoveFaultHandler();
        EXPECT_EQ(current(signal), before) << signal;
    }
#endif
    RemoveFaultHandler();
}

// --- real faults in a child process ---

struct ChildResult {
    bool ran = false;
    int exitCode = -1;
};

std::string ChildPath() {
#ifdef _WIN32
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"zefo_crash_child.exe";
    return std::string(path.begin(), path.end());
#else
    std::vector<char> self(4096);
    ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
    std::string path(self.data(), length > 0 ? static_cast<size_t>(length) : 0);
    return path.substr(0, path.find_last_of('/') + 1) + "zefo_crash_child";
#endif
}

// Runs the child to its end, at most 60 seconds.
ChildResult RunChild(const std::string& mode, const std::string& output) {
    ChildResult result;
#ifdef _WIN32
    // The path as a named string: "\"" + ChildPath() is taken for an overlapping
    // copy by GCC 12 at -O3 (-Wrestrict).
    const std::string child = ChildPath();
    std::string command = "\"" + child + "\" " + mode + " \"" + output + "\"";
    std::wstring wide(command.begin(), command.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return result;
    result.ran = true;
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 99);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exitCode = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
#else
    std::string path = ChildPath();
    std::vector<char*> argv = {path.data(), const_cast<char*>(mode.c_str()), const_cast<char*>(output.c_str()),
                               nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return result;
    result.ran = true;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
    return result;
}

// The value after `label` up to the line's "\r", or "" when the line is missing.
std::string Field(const std::string& report, const std::string& label) {
    size_t at = report.find("\r" + label);
    if (at == std::string::npos)
        return {};
    at += 1 + label.size();
    return report.substr(at, report.find('\r', at) - at);
}

struct ChildInfo {
    long long function = 0;
    long long local = 0;
    long long badAddress = 0;
};

ChildInfo ReadInfo(const std::string& path) {
    ChildInfo info;
    std::istringstream in(test::ReadFileBytes(path));
    in >> info.function >> info.local >> info.badAddress;
    return info;
}

// The shown report: title and text, as the child wrote them.
void ExpectReportShape(const std::string& box, std::string* report) {
    ASSERT_EQ(box.rfind("OnError example\n", 0), 0u) << box;
    *report = box.substr(std::string("OnError example\n").size());
    EXPECT_EQ(report->find('\n'), std::string::npos);
    EXPECT_EQ(report->rfind("A program error was detected:\r\rError Message:   ", 0), 0u);
    EXPECT_NE(report->find("\rSourcecode line: Enable OnError lines support to get code line information.\r\r"
                           "Register content:\rEAX = "),
              std::string::npos);
    EXPECT_EQ(report->back(), '\r');
}

void ExpectNear32(const std::string& value, long long expected, long long tolerance) {
    ASSERT_FALSE(value.empty());
    auto actual = static_cast<uint32_t>(std::stoll(value));
    auto difference = static_cast<int32_t>(actual - static_cast<uint32_t>(expected));
    EXPECT_LE(std::llabs(difference), tolerance) << value << " vs " << expected;
}

TEST(CrashReport, IntegerDivisionInAChildProcess) {
    test::TempDir temp;
    std::string output = temp / "report.txt";
    ChildResult child = RunChild("divide", output);
    ASSERT_TRUE(child.ran) << ChildPath();
    EXPECT_EQ(child.exitCode, 0);

    std::string report;
    ExpectReportShape(test::ReadFileBytes(output), &report);
    EXPECT_EQ(Field(report, "Error Message:   "), "Division by zero ");
    EXPECT_EQ(Field(report, "Error Code:      "), "-1073741676");
    EXPECT_EQ(report.find("Target Address:"), std::string::npos);
    // The fault happened in the dividing function, with the stack pointer in its frame.
    ChildInfo info = ReadInfo(output + ".info");
    long long codeAddress = std::stoll(Field(report, "Code Address:    "));
    EXPECT_GE(codeAddress, info.function);
    EXPECT_LT(codeAddress, info.function + 512);
    ExpectNear32(Field(report, "ESP = "), info.local, 4096);
    EXPECT_TRUE(test::FileExists(output + ".shutdown"));
}

TEST(CrashReport, InvalidReadInAChildProcessAlsoOnAWorkerThread) {
    for (const char* mode : {"read", "thread-read"}) {
        SCOPED_TRACE(mode);
        test::TempDir temp;
        std::string output = temp / "report.txt";
        ChildResult child = RunChild(mode, output);
        ASSERT_TRUE(child.ran) << ChildPath();
        EXPECT_EQ(child.exitCode, 0);

        std::string report;
        ExpectReportShape(test::ReadFileBytes(output), &report);
        ChildInfo info = ReadInfo(output + ".info");
        ASSERT_NE(info.badAddress, 0);
        EXPECT_EQ(Field(report, "Error Message:   "), "Invalid memory access");
        EXPECT_EQ(Field(report, "Error Code:      "), "-1073741819");
        EXPECT_EQ(Field(report, "Target Address:  "), std::to_string(info.badAddress));
        long long codeAddress = std::stoll(Field(report, "Code Address:    "));
        EXPECT_GE(codeAddress, info.function);
        EXPECT_LT(codeAddress, info.function + 512);
        ExpectNear32(Field(report, "ESP = "), info.local, 4096);
        EXPECT_TRUE(test::FileExists(output + ".shutdown"));
    }
}

#ifndef _WIN32
// Signals of the other faults, the stack overflows on the threads' alternate stacks.
TEST(CrashReport, IllegalInstructionAndStackOverflowsInAChildProcess) {
    struct Case {
        const char* mode;
        const char* message;
        const char* code;
    };
    for (const Case& c :
         {Case{"illegal", "Illegal instruction", "-1073741795"}, Case{"stack", "Stack overflow", "-1073741571"},
          Case{"thread-stack", "Stack overflow", "-1073741571"}}) {
        SCOPED_TRACE(c.mode);
        test::TempDir temp;
        std::string output = temp / "report.txt";
        ChildResult child = RunChild(c.mode, output);
        ASSERT_TRUE(child.ran) << ChildPath();
        EXPECT_EQ(child.exitCode, 0);
        std::string report;
        ExpectReportShape(test::ReadFileBytes(output), &report);
        EXPECT_EQ(Field(report, "Error Message:   "), c.message);
        EXPECT_EQ(Field(report, "Error Code:      "), c.code);
        EXPECT_EQ(report.find("Target Address:"), std::string::npos);
        EXPECT_TRUE(test::FileExists(output + ".shutdown"));
    }
}
#endif

}  // namespace
}  // namespace zefo
