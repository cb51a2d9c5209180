#include <windows.h>

#include <mutex>
#include <thread>

#include "base/wide_text_win32.h"
#include "common/child_process.h"

namespace zefo::test {

struct ChildProcess::State {
    PROCESS_INFORMATION process{};
    bool running = false;
    HANDLE out = nullptr, err = nullptr;
    std::thread outReader, errReader;
    mutable std::mutex lock;
    std::string output, errors;
    bool ended = false;
    int code = -1;
};

namespace {

void ReadPipe(HANDLE pipe, std::mutex* lock, std::string* into) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        std::lock_guard guard(*lock);
        into->append(buffer, got);
    }
}

std::wstring Quoted(const std::string& word) {
    std::wstring wide = Widen(word);
    if (!wide.empty() && wide.find_first_of(L" \t\"") == std::wstring::npos)
        return wide;
    std::wstring quoted = L"\"";
    for (size_t i = 0; i <= wide.size(); ++i) {
        size_t slashes = 0;
        while (i < wide.size() && wide[i] == L'\\') {
            ++slashes;
            ++i;
        }
        if (i == wide.size()) {
            quoted.append(slashes * 2, L'\\');
            break;
        }
        if (wide[i] == L'"')
            quoted.append(slashes * 2 + 1, L'\\');
        else
            quoted.append(slashes, L'\\');
        quoted += wide[i];
    }
    return quoted + L"\"";
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : state_(std::make_unique<State>()) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outWrite = nullptr, errWrite = nullptr;
    if (!CreatePipe(&state_->out, &outWrite, &inherit, 0) || !CreatePipe(&state_->err, &errWrite, &inherit, 0))
        return;
    SetHandleInformation(state_->out, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(state_->err, HANDLE_FLAG_INHERIT, 0);
    std::wstring command = Quoted(program);
    for (const std::string& argument : arguments)
        command += L" " + Quoted(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    startup.dwFlags |= STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // A console of its own, which Interrupt can send Ctrl-C to.
    state_->running = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE, nullptr,
                                     nullptr, &startup, &state_->process) != 0;
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    state_->outReader = std::thread(ReadPipe, state_->out, &state_->lock, &state_->output);
    state_->errReader = std::thread(ReadPipe, state_->err, &state_->lock, &state_->errors);
}

ChildProcess::~ChildProcess() {
    if (state_->running && !state_->ended)
        Wait(0);
    if (state_->outReader.joinable())
        state_->outReader.join();
    if (state_->errReader.joinable())
        state_->errReader.join();
    if (state_->out)
        CloseHandle(state_->out);
    if (state_->err)
        CloseHandle(state_->err);
    if (state_->running) {
        CloseHandle(state_->process.hThread);
        CloseHandle(state_->process.hProcess);
    }
}

bool ChildProcess::started() const {
    return state_->running;
}

// Ctrl-C goes to every process of a console: this one joins the child's for the
// moment, ignoring the event itself, and goes back to its own console afterwards.
bool ChildProcess::Interrupt() {
    if (!state_->running || state_->ended)
        return false;
    FreeConsole();
    bool sent = false;
    if (AttachConsole(state_->process.dwProcessId)) {
        SetConsoleCtrlHandler(nullptr, TRUE);
        sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
        FreeConsole();
    }
    AttachConsole(ATTACH_PARENT_PROCESS);
    return sent;
}

bool ChildProcess::Kill() {
    return state_->running && !state_->ended && TerminateProcess(state_->process.hProcess, 137) != 0;
}

int ChildProcess::Wait(int timeoutMs) {
    if (!state_->running)
        return -1;
    if (state_->ended)
        return state_->code;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(state_->process.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
        GetExitCodeProcess(state_->process.hProcess, &code);
    } else {
        TerminateProcess(state_->process.hProcess, static_cast<UINT>(-1));
        WaitForSingleObject(state_->process.hProcess, 5000);
        code = static_cast<DWORD>(-1);
    }
    state_->ended = true;
    state_->code = static_cast<int>(code);
    if (state_->outReader.joinable())
        state_->outReader.join();
    if (state_->errReader.joinable())
        state_->errReader.join();
    return state_->code;
}

long ChildProcess::PeakMemoryKb() const {
    return -1;
}

std::string ChildProcess::Output() const {
    std::lock_guard guard(state_->lock);
    return state_->output;
}

std::string ChildProcess::Errors() const {
    std::lock_guard guard(state_->lock);
    return state_->errors;
}

std::string TestProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::string text = Narrow(path);
    return text.substr(0, text.find_last_of("\\/") + 1);
}

}  // namespace zefo::test
