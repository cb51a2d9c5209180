#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include "support/crash_report.h"
#include "support/crash_report_internal.h"
#include "support/crash_report_posix.h"

extern char** environ;

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
// Other threads' alternate stacks (PrepareThreadForFaults).
constexpr size_t kThreadAlternateStack = 64 * 1024;
// A fault this close to the stack pointer is the stack running into its guard.
constexpr int64_t kStackReachBelow = 64 * 1024;
constexpr int64_t kStackReachAbove = 256 * 1024;

std::atomic<const char*> reportProgram{nullptr};
std::atomic<const char*> reportOption{nullptr};

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

// An access just below the stack pointer (or within a frame just made) that faults
// is the stack running out: it ends in the guard below the thread's stack.
bool NearStackPointer(int64_t address, int64_t stackPointer) {
    return stackPointer != 0 && address >= stackPointer - kStackReachBelow && address < stackPointer + kStackReachAbove;
}

void FaultSignal(int signal, siginfo_t* info, void* context) {
    FaultRecord record;
    record.code = CodeFor(signal, info->si_code);
    if (record.code == kFaultAccessViolation)
        record.targetAddress = Address(info->si_addr);
    int64_t stackPointer = 0;
    const auto* machine = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    const greg_t* r = machine->uc_mcontext.gregs;
    record.codeAddress = static_cast<int64_t>(r[REG_RIP]);
    stackPointer = static_cast<int64_t>(r[REG_RSP]);
    // The report has room for 32 bits per register: the low halves.
    const greg_t registers[8] = {r[REG_RAX], r[REG_RBX], r[REG_RCX], r[REG_RDX],
                                 r[REG_RBP], r[REG_RSI], r[REG_RDI], r[REG_RSP]};
    for (int n = 0; n < 8; ++n)
        record.registers[n] = static_cast<uint32_t>(registers[n]);
#elif defined(__i386__)
    const greg_t* r = machine->uc_mcontext.gregs;
    record.codeAddress = static_cast<int32_t>(r[REG_EIP]);
    stackPointer = static_cast<int32_t>(r[REG_ESP]);
    const greg_t registers[8] = {r[REG_EAX], r[REG_EBX], r[REG_ECX], r[REG_EDX],
                                 r[REG_EBP], r[REG_ESI], r[REG_EDI], r[REG_ESP]};
    for (int n = 0; n < 8; ++n)
        record.registers[n] = static_cast<uint32_t>(registers[n]);
#else
    // Other processors have no such registers; the report shows zeros and a stack
    // overflow counts as an invalid memory access.
    (void)machine;
    record.codeAddress = Address(info->si_addr);
#endif
    if (signal == SIGSEGV && NearStackPointer(Address(info->si_addr), stackPointer)) {
        record.code = kFaultStackOverflow;
        record.targetAddress = 0;
    }
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

void SetReportProgram(const char* program, const char* option) {
    reportOption.store(option);
    reportProgram.store(program);
}

namespace {

// Owns a thread's alternate signal stack; put out of use before it is unmapped.
class ThreadAlternateStack {
  public:
    ThreadAlternateStack() {
        size_ =
            std::max<size_t>(kThreadAlternateStack, static_cast<size_t>(std::max(0L, sysconf(_SC_MINSIGSTKSZ))) * 4);
        void* memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (memory == MAP_FAILED)
            return;
        stack_t stack{};
        stack.ss_sp = memory;
        stack.ss_size = size_;
        if (sigaltstack(&stack, nullptr) != 0) {
            munmap(memory, size_);
            return;
        }
        memory_ = memory;
    }
    ~ThreadAlternateStack() {
        if (!memory_)
            return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(memory_, size_);
    }
    ThreadAlternateStack(const ThreadAlternateStack&) = delete;
    ThreadAlternateStack& operator=(const ThreadAlternateStack&) = delete;

  private:
    void* memory_ = nullptr;
    size_t size_ = 0;
};

// Starts the report program and waits for it, with async-signal-safe calls only.
// The child runs nothing of this process: _Fork runs no fork handlers, and the child
// replaces itself at once.
void RunReportProgram(const char* program, const char* option, const char* title, const char* text) {
    static char* arguments[5];
    arguments[0] = const_cast<char*>(program);
    arguments[1] = const_cast<char*>(option ? option : "");
    arguments[2] = const_cast<char*>(title);
    arguments[3] = const_cast<char*>(text);
    arguments[4] = nullptr;
    const pid_t child = _Fork();
    if (child == 0) {
        execve(program, arguments, environ);
        _exit(127);
    }
    if (child < 0)
        return;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

void PrepareThreadForFaults() {
    thread_local ThreadAlternateStack stack;
}

namespace crash_internal {

void PresentReport(const char* title, const char* text) {
    // A signal handler must not open a window: the report program does. Without
    // one (tests), the presenter runs here.
    if (const char* program = reportProgram.load())
        RunReportProgram(program, reportOption.load(), title, text);
    else
        CallPresenter(title, text);
}

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
