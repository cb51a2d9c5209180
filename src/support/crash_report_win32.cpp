#include <windows.h>

#include <atomic>
#include <cstdint>

#include "support/crash_report.h"
#include "support/crash_report_internal.h"

namespace zefo {

namespace {

std::atomic<bool> installed{false};
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;

int64_t Address(const void* address) {
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(address));
}

FaultRecord Capture(const EXCEPTION_POINTERS& info) {
    FaultRecord record;
    const EXCEPTION_RECORD& exception = *info.ExceptionRecord;
    record.code = exception.ExceptionCode;
    record.codeAddress = Address(exception.ExceptionAddress);
    if (record.code == kFaultAccessViolation && exception.NumberParameters >= 2)
        record.targetAddress = static_cast<int64_t>(static_cast<intptr_t>(exception.ExceptionInformation[1]));
    const CONTEXT& context = *info.ContextRecord;
#if defined(_WIN64)
    // The report has room for 32 bits per register: the low halves.
    const DWORD64 registers[8] = {context.Rax, context.Rbx, context.Rcx, context.Rdx,
                                  context.Rbp, context.Rsi, context.Rdi, context.Rsp};
#else
    const DWORD registers[8] = {context.Eax, context.Ebx, context.Ecx, context.Edx,
                                context.Ebp, context.Esi, context.Edi, context.Esp};
#endif
    for (int n = 0; n < 8; ++n)
        record.registers[n] = static_cast<uint32_t>(registers[n]);
    record.line = sourceLineMarker.load(std::memory_order_relaxed);
    return record;
}

DWORD WINAPI HandleOnFreshStack(void* record) {
    crash_internal::HandleFault(*static_cast<const FaultRecord*>(record));
    return 0;
}

LONG WINAPI FaultFilter(EXCEPTION_POINTERS* info) {
    FaultRecord record = Capture(*info);
    if (record.code == EXCEPTION_STACK_OVERFLOW) {
        // The faulting thread has only its guard page left, too little for a
        // message box: the report runs on a helper thread while this one waits.
        HANDLE helper = CreateThread(nullptr, 1 << 20, HandleOnFreshStack, &record, 0, nullptr);
        if (helper) {
            WaitForSingleObject(helper, INFINITE);
            CloseHandle(helper);
        }
    } else {
        crash_internal::HandleFault(record);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void InstallFaultHandler(FaultHandler handler) {
    crash_internal::StoreHandler(handler);
    if (!installed.exchange(true))
        previousFilter = SetUnhandledExceptionFilter(FaultFilter);
}

void RemoveFaultHandler() {
    if (installed.exchange(false))
        SetUnhandledExceptionFilter(previousFilter);
}

namespace crash_internal {

void PresentReport(const char* title, const char* text) {
    // The filter runs as an ordinary call on the faulting thread (or its helper), where
    // the presenter's message box is safe.
    CallPresenter(title, text);
}

void EndProcess(int code) {
    // At once: no static destructors while other threads still run.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    ExitProcess(static_cast<UINT>(code));
}

void BlockForever() {
    for (;;)
        Sleep(INFINITE);
}

}  // namespace crash_internal

}  // namespace zefo
