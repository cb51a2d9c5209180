#include "support/crash_report.h"

#include <string>

#include "support/crash_report_internal.h"

namespace zefo {

std::atomic<int32_t> sourceLineMarker{-1};

namespace {

struct CodeMessage {
    uint32_t code;
    const char* message;
};

// Looked up in this order.
constexpr CodeMessage kMessages[] = {
    {0xC0000005, "Invalid memory access"},
    {0xC000008C, "Array bounds exceeded"},
    {0x80000003, "Debugger breakpoint reached"},
    {0x80000002, "Misaligned data access"},
    {0xC000008D, "Denormal floating-point operand"},
    {0xC000008E, "Division by zero (floating-point)"},
    {0xC000008F, "Inexact floating-point result"},
    {0xC0000090, "Invalid floating-point operation"},
    {0xC0000091, "Floating-point overflow (exponent to great)"},
    {0xC0000092, "Floating-point stack overflow or underflow"},
    {0xC0000093, "Floating-point underflow (exponent too small)"},
    {0xC000001D, "Illegal instruction"},
    {0xC0000006, "Memory page error"},
    {0xC0000094, "Division by zero "},
    {0xC0000095, "Integer overflow"},
    {0xC0000026, "Exception handler returned unknown value"},
    {0xC0000025, "Exception handler tried to continue after non-continuable exception"},
    {0xC0000096, "Privileged instruction"},
    {0x80000004, "Single step trap"},
    {0xC00000FD, "Stack overflow"},
};

FaultRecord lastFault;
std::atomic<FaultHandler> storedHandler{nullptr};
std::atomic<ReportPresenter> reportPresenter{nullptr};
std::atomic<void (*)()> finalShutdown{nullptr};
std::atomic<const char*> mainSourceFile{""};
// The thread whose fault is being reported, identified by a thread-local address.
std::atomic<const void*> reportingThread{nullptr};
thread_local char threadIdentity;

std::string Signed32(uint32_t value) {
    return std::to_string(static_cast<int32_t>(value));
}

}  // namespace

void SetMainSourceFile(const char* path) {
    mainSourceFile.store(path ? path : "");
}

const char* FaultMessage(uint32_t code) {
    for (const CodeMessage& row : kMessages) {
        if (row.code == code)
            return row.message;
    }
    return "Unknown error code";
}

int32_t FaultLine(const FaultRecord& record) {
    return record.line;
}

int32_t FaultRegister(const FaultRecord& record, int n) {
    if (n < 0 || n >= 8)
        return 0;
    return static_cast<int32_t>(record.registers[n]);
}

std::string ErrorReport(const FaultRecord& record) {
    static constexpr const char* kRegisterNames[8] = {"EAX", "EBX", "ECX", "EDX", "EBP", "ESI", "EDI", "ESP"};
    std::string text = "A program error was detected:\r\r";
    text += "Error Message:   ";
    text += FaultMessage(record.code);
    text += "\r";
    text += "Error Code:      " + Signed32(record.code) + "\r";
    text += "Code Address:    " + std::to_string(record.codeAddress) + "\r";
    if (record.code == kFaultAccessViolation)
        text += "Target Address:  " + std::to_string(record.targetAddress) + "\r";
    if (FaultLine(record) == -1) {
        text += "Sourcecode line: Enable OnError lines support to get code line information.\r";
    } else {
        text += "Sourcecode line: " + std::to_string(FaultLine(record)) + "\r";
        text += "Sourcecode file: ";
        text += record.sourceFile ? record.sourceFile : "";
        text += "\r";
    }
    text += "\rRegister content:\r";
    for (int n = 0; n < 8; ++n) {
        text += kRegisterNames[n];
        text += " = " + std::to_string(FaultRegister(record, n)) + "\r";
    }
    return text;
}

const FaultRecord& LastFault() {
    return lastFault;
}

void SetFinalShutdown(void (*shutdown)()) {
    finalShutdown.store(shutdown);
}

void SetReportPresenter(ReportPresenter presenter) {
    reportPresenter.store(presenter);
}

void CrashHandler() {
    const std::string report = ErrorReport(LastFault());
    if (ReportPresenter present = reportPresenter.load())
        present("OnError example", report);
    RemoveFaultHandler();
    if (void (*shutdown)() = finalShutdown.load())
        shutdown();
    crash_internal::EndProcess(0);
}

namespace crash_internal {

void StoreHandler(FaultHandler handler) {
    storedHandler.store(handler);
}

void HandleFault(const FaultRecord& captured) {
    FaultHandler handler = storedHandler.load();
    if (!handler)
        return;
    // One report per process: a fault inside the report ends the process at
    // once; a fault on another thread waits for the first report to end it.
    const void* self = &threadIdentity;
    const void* expected = nullptr;
    if (!reportingThread.compare_exchange_strong(expected, self)) {
        if (expected == self)
            EndProcess(0);
        BlockForever();
    }
    lastFault = captured;
    lastFault.sourceFile = mainSourceFile.load();
    handler();
}

}  // namespace crash_internal

}  // namespace zefo
