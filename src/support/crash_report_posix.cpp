#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "support/crash_report.h"
#include "support/crash_report_internal.h"

namespace zefo {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGFPE, SIGILL, SIGBUS};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

std::atomic<bool> installed{false};
struct sigaction previousActions[kSignalCount];
stack_t previousStack;
// The handler runs here, so that a fault with an exhausted stack can still be
// reported on the installing thread.
alignas(16) char alternateStack[256 * 1024];

// The Windows exception code that stands for the signal.
uint32_t CodeFor(int signal, int detail) {
    switch (signal) {
        case SIGFPE:
            switch (detail) {
                case FPE_INTDIV:
                    return kFaultIntegerDivideByZero;
                case FPE_INTOVF:
                    return 0xC0000095;
                case FPE_FLTDIV:
                    return 0xC000008E;
                case FPE_FLTOVF:
                    return 0xC0000091;
                case FPE_FLTUND:
                    return 0xC0000093;
                case FPE_FLTRES:
                    return 0xC000008F;
                case FPE_FLTSUB:
                    return 0xC000008C;
                default:
                    return 0xC0000090;
            }
        case SIGILL:
            return detail == ILL_PRVOPC || detail == ILL_PRVREG ? 0xC0000096 : 0xC000001D;
        case SIGBUS:
            return detail == BUS_ADRALN ? 0x80000002 : 0xC0000006;
        default:
            return kFaultAccessViolation;
    }
}

int64_t Address(const void* address) {
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(address));
}

void FaultSignal(int signal, siginfo_t* info, void* context) {
    FaultRecord record;
    record.code = CodeFor(signal, info->si_code);
    if (record.code == kFaultAccessViolation)
        record.targetAddress = Address(info->si_addr);
    const auto* machine = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    const greg_t* r = machine->uc_mcontext.gregs;
    record.codeAddress = static_cast<int64_t>(r[REG_RIP]);
    // The report has room for 32 bits per register: the low halves.
    const greg_t registers[8] = {r[REG_RAX], r[REG_RBX], r[REG_RCX], r[REG_RDX],
                                 r[REG_RBP], r[REG_RSI], r[REG_RDI], r[REG_RSP]};
    for (int n = 0; n < 8; ++n)
        record.registers[n] = static_cast<uint32_t>(registers[n]);
#elif defined(__i386__)
    const greg_t* r = machine->uc_mcontext.gregs;
    record.codeAddress = static_cast<int32_t>(r[REG_EIP]);
    const greg_t registers[8] = {r[REG_EAX], r[REG_EBX], r[REG_ECX], r[REG_EDX],
                                 r[REG_EBP], r[REG_ESI], r[REG_EDI], r[REG_ESP]};
    for (int n = 0; n < 8; ++n)
        record.registers[n] = static_cast<uint32_t>(registers[n]);
#else
    // Other processors have no such registers; the report shows zeros.
    (void)machine;
    record.codeAddress = Address(info->si_addr);
#endif
    record.line = sourceLineMarker.load(std::memory_order_relaxed);
    crash_internal::HandleFault(record);

    // No handler: put back what was there and let the fault happen again.
    for (int i = 0; i < kSignalCount; ++i) {
        if (kSignals[i] == signal)
            sigaction(signal, &previousActions[i], nullptr);
    }
}

}  // namespace

void InstallFaultHandler(FaultHandler handler) {
    crash_internal::StoreHandler(handler);
    if (installed.exchange(true))
        return;
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof(alternateStack);
    sigaltstack(&stack, &previousStack);
    struct sigaction action {};
    action.sa_sigaction = FaultSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i)
        sigaction(kSignals[i], &action, &previousActions[i]);
}

void RemoveFaultHandler() {
    if (!installed.exchange(false))
        return;
    for (int i = 0; i < kSignalCount; ++i)
        sigaction(kSignals[i], &previousActions[i], nullptr);
    sigaltstack(&previousStack, nullptr);
}

namespace crash_internal {

void EndProcess(int code) {
    // At once: no static destructors while other threads still run.
    _exit(code);
}

void BlockForever() {
    for (;;)
        pause();
}

}  // namespace crash_internal

}  // namespace zefo
