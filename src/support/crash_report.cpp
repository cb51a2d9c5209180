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

// Writes into a fixed buffer without allocating, so that a signal handler may use it.
class ReportWriter {
  public:
    ReportWriter(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {
        if (capacity_ > 0)
            buffer_[0] = '\0';
    }
    void Text(const char* text) {
        for (; text && *text; ++text) {
            if (size_ + 1 >= capacity_)
                return;
            buffer_[size_++] = *text;
            buffer_[size_] = '\0';
        }
    }
    // Decimal digits with a leading "-" for negative values.
    void Number(int64_t value) {
        char digits[24];
        size_t count = 0;
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0)
            digits[count++] = '-';
        char text[24];
        for (size_t i = 0; i < count; ++i)
            text[i] = digits[count - 1 - i];
        text[count] = '\0';
        Text(text);
    }
    size_t size() const { return size_; }

  private:
    char* buffer_;
    size_t capacity_;
    size_t size_ = 0;
};

// The report's fixed lines and numbers take about 500 bytes; the rest is the source path.
constexpr size_t kReportCapacity = 8192;

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
    std::string text(kReportCapacity + std::char_traits<char>::length(record.sourceFile ? record.sourceFile : ""),
                     '\0');
    text.resize(crash_internal::FormatErrorReport(record, text.data(), text.size()));
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
    // Made without allocating: on POSIX this runs in a signal handler.
    static char report[kReportCapacity];
    crash_internal::FormatErrorReport(LastFault(), report, sizeof(report));
    crash_internal::PresentReport("OnError example", report);
    RemoveFaultHandler();
    if (void (*shutdown)() = finalShutdown.load())
        shutdown();
    crash_internal::EndProcess(0);
}

namespace crash_internal {

size_t FormatErrorReport(const FaultRecord& record, char* buffer, size_t capacity) {
    static constexpr const char* kRegisterNames[8] = {"EAX", "EBX", "ECX", "EDX", "EBP", "ESI", "EDI", "ESP"};
    ReportWriter out(buffer, capacity);
    out.Text("A program error was detected:\r\r");
    out.Text("Error Message:   ");
    out.Text(FaultMessage(record.code));
    out.Text("\rError Code:      ");
    out.Number(static_cast<int32_t>(record.code));
    out.Text("\rCode Address:    ");
    out.Number(record.codeAddress);
    out.Text("\r");
    if (record.code == kFaultAccessViolation) {
        out.Text("Target Address:  ");
        out.Number(record.targetAddress);
        out.Text("\r");
    }
    if (FaultLine(record) == -1) {
        out.Text("Sourcecode line: Enable OnError lines support to get code line information.\r");
    } else {
        out.Text("Sourcecode line: ");
        out.Number(FaultLine(record));
        out.Text("\rSourcecode file: ");
        out.Text(record.sourceFile);
        out.Text("\r");
    }
    out.Text("\rRegister content:\r");
    for (int n = 0; n < 8; ++n) {
        out.Text(kRegisterNames[n]);
        out.Text(" = ");
        out.Number(FaultRegister(record, n));
        out.Text("\r");
    }
    return out.size();
}

void CallPresenter(const char* title, const char* text) {
    if (ReportPresenter present = reportPresenter.load())
        present(title, text);
}

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
