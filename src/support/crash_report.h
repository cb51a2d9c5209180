// The crash report: a fault that no code of the program handles (invalid memory
// access, division by zero, ... on any thread) is captured into one FaultRecord
// and shown in a message box; then the program ends with exit code 0.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace zefo {

// Windows exception codes; the POSIX build maps its signals onto them.
constexpr uint32_t kFaultAccessViolation = 0xC0000005;
constexpr uint32_t kFaultIntegerDivideByZero = 0xC0000094;
constexpr uint32_t kFaultStackOverflow = 0xC00000FD;

// What the fault filter captured. One record per process.
struct FaultRecord {
    uint32_t code = 0;
    // Full machine addresses, read as signed (a 32-bit build sign-extends them).
    int64_t codeAddress = 0;
    // For an invalid memory access with the data address known, that address; else 0.
    int64_t targetAddress = 0;
    // sourceLineMarker at the fault.
    int32_t line = -1;
    // EAX, EBX, ECX, EDX, EBP, ESI, EDI, ESP (on x86-64 the low halves of RAX ... RSP).
    uint32_t registers[8] = {};
    // The program's main source file as it was built; only shown with line information.
    const char* sourceFile = "";
};

// The number of the source line that began to run last, on any thread; -1 (the
// value at start) means the program records no line information.
extern std::atomic<int32_t> sourceLineMarker;
// The main source file named in reports with line information.
void SetMainSourceFile(const char* path);

// The message for an exception code, "Unknown error code" for one not listed.
const char* FaultMessage(uint32_t code);
// The line of the record: -1 when no line was recorded.
int32_t FaultLine(const FaultRecord& record);
// Register n (0 EAX ... 7 ESP) as a signed 32-bit value; 0 for another n.
int32_t FaultRegister(const FaultRecord& record, int n);
// The report text: lines end with a lone "\r", numbers are signed decimals.
std::string ErrorReport(const FaultRecord& record);

// The record of the last fault the filter captured.
const FaultRecord& LastFault();

using FaultHandler = void (*)();
// Makes the program's fault filter the process's handler of unhandled faults and
// stores `handler`, which the filter calls on the faulting thread. The first call
// remembers the handling that was in place; later calls only replace `handler`.
void InstallFaultHandler(FaultHandler handler);
// Puts back the handling remembered by the first InstallFaultHandler.
void RemoveFaultHandler();

// The last step of the program's shutdown (release resources), run by the
// CrashHandler before the process ends. It must not exit by itself.
void SetFinalShutdown(void (*shutdown)());
// Shows the report on the faulting thread and returns once the user has seen it (the
// window program: a message box with no icon and one OK button).
using ReportPresenter = void (*)(const std::string& title, const std::string& text);
void SetReportPresenter(ReportPresenter presenter);

// Shows the report of LastFault() titled "OnError example" through the presenter on
// the calling thread, puts back the remembered fault handling, runs the final
// shutdown and ends the process with exit code 0.
[[noreturn]] void CrashHandler();

}  // namespace zefo
