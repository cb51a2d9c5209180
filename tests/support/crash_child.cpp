// A program that faults on purpose with the crash handler installed. The message
// box is recorded by the headless toolkit and written to a file, so that a test
// can run this as a child process and read the report it would have shown.
//
//   zefo_crash_child divide|read|thread-read|illegal|stack|thread-stack <output file> [<report program>]
//
// Writes <output file> (the box: title, flags, text), <output file>.info (the
// faulting function's address, a local's address and the address read, before
// the fault) and <output file>.shutdown (from the final shutdown step). With a
// report program (POSIX), that program shows the report instead, as in the window
// program, and <output file> is not written.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>

#include "support/crash_report_posix.h"
#endif

#include "support/crash_report.h"

namespace {

std::string outputPath;
void* badAddress = nullptr;

void WriteFile(const std::string& path, const std::string& bytes) {
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

void WriteInfo(const void* function, const void* local) {
    WriteFile(outputPath + ".info",
              std::to_string(static_cast<long long>(reinterpret_cast<intptr_t>(function))) + " " +
                  std::to_string(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(local))) + " " +
                  std::to_string(static_cast<long long>(reinterpret_cast<intptr_t>(badAddress))) + "\n");
}

// A page that exists but cannot be read.
void* InaccessiblePage() {
#ifdef _WIN32
    return VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
#else
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : page;
#endif
}

__attribute__((noinline)) int DivideByZero(int value) {
    volatile int divisor = value;
    volatile char here = 0;
    WriteInfo(reinterpret_cast<const void*>(&DivideByZero), const_cast<const char*>(&here));
    return 1000 / divisor + here;
}

__attribute__((noinline)) int ReadBadAddress(volatile const int* address) {
    volatile char here = 0;
    WriteInfo(reinterpret_cast<const void*>(&ReadBadAddress), const_cast<const char*>(&here));
    return *address + here;
}

__attribute__((noinline)) void IllegalInstruction() {
    volatile char here = 0;
    WriteInfo(reinterpret_cast<const void*>(&IllegalInstruction), const_cast<const char*>(&here));
    __builtin_trap();
}

// Never reached; read at run time, so the recursion is not known to be endless.
volatile int recursionLimit = 1 << 30;

// Each level keeps a page of its own on the stack, so the recursion is not folded away.
__attribute__((noinline)) int Recurse(int depth) {
    volatile char page[4096];
    page[0] = static_cast<char>(depth);
    if (depth >= recursionLimit)
        return 0;
    return Recurse(depth + 1) + page[0];
}

void FinalShutdown() {
    WriteFile(outputPath + ".shutdown", "released\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4)
        return 2;
    const std::string mode = argv[1];
    outputPath = argv[2];
    badAddress = InaccessiblePage();
#ifndef _WIN32
    if (argc == 4)
        zefo::SetReportProgram(argv[3], "--show-crash-report");
#endif

    zefo::SetReportPresenter(
        [](const std::string& title, const std::string& text) { WriteFile(outputPath, title + "\n" + text); });
    zefo::SetFinalShutdown(FinalShutdown);
    zefo::InstallFaultHandler(zefo::CrashHandler);

    volatile int result = 0;
    if (mode == "divide") {
        result = DivideByZero(0);
    } else if (mode == "read") {
        result = ReadBadAddress(static_cast<volatile const int*>(badAddress));
    } else if (mode == "thread-read") {
        std::thread worker([&result] { result = ReadBadAddress(static_cast<volatile const int*>(badAddress)); });
        worker.join();
    } else if (mode == "illegal") {
        IllegalInstruction();
    } else if (mode == "stack") {
        result = Recurse(0);
#ifndef _WIN32
    } else if (mode == "thread-stack") {
        std::thread worker([&result] {
            zefo::PrepareThreadForFaults();
            result = Recurse(0);
        });
        worker.join();
#endif
    } else {
        return 2;
    }
    // Reached only when the fault was not reported.
    return 3 + result;
}
