#include <windows.h>

#include <shellapi.h>  // after windows.h, which it needs

#include <memory>
#include <mutex>
#include <vector>

#include "base/wide_text_win32.h"

#include "sync/launch.h"
#include "sync/launch_internal.h"

namespace zefo {

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle && handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// Threads started so far; entries whose thread has ended are dropped on the next start.
struct ThreadTable {
    std::mutex lock;
    uint32_t lastNumber = 0;
    std::vector<std::pair<uint32_t, Handle>> threads;
};

// Never destroyed, so that a start racing the end of the process finds it intact.
ThreadTable& Threads() {
    static ThreadTable* table = new ThreadTable;
    return *table;
}

// The handles still held at program end are closed (the threads themselves go on
// until the process ends).
struct CloseThreadHandlesAtExit {
    CloseThreadHandlesAtExit() { Threads(); }
    ~CloseThreadHandlesAtExit() {
        ThreadTable& table = Threads();
        std::lock_guard hold(table.lock);
        table.threads.clear();
    }
} closeThreadHandlesAtExit;

struct ThreadStart {
    ThreadProcedure procedure;
    int argument;
};

// noexcept: an exception escaping a worker is a fault and ends in std::terminate
// here instead of unwinding into the system's thread start.
DWORD WINAPI ThreadEntry(LPVOID raw) noexcept {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
    start->procedure(start->argument);
    launch_detail::CountThreadEnd();
    return 0;
}

}  // namespace

namespace launch_detail {

std::string WithoutLongPathPrefix(const std::string& path) {
    if (path.rfind("\\\\?\\UNC\\", 0) == 0)
        return "\\\\" + path.substr(8);  // a network path keeps its leading pair of backslashes
    if (path.rfind("\\\\?\\", 0) == 0)
        return path.substr(4);
    return path;
}

}  // namespace launch_detail

bool LaunchProgram(const std::string& path) {
    std::wstring file = Widen(path);
    if (file.empty())
        return false;
    std::wstring commandLine = file[0] == L'"' ? file : L"\"" + file + L"\"";

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                         &startup, &process)) {
        Handle thread(process.hThread);
        Handle child(process.hProcess);
        return true;
    }

    // Not a program: let the shell open it (a document, or a file type with a handler).
    std::wstring folder;
    size_t separator = file.rfind(L'\\');
    if (separator != std::wstring::npos)
        folder = file.substr(0, separator + 1);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    // A failure is not reported: the shell must not show its own error box either.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = nullptr;
    info.lpFile = file.c_str();
    info.lpParameters = nullptr;
    info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!::ShellExecuteExW(&info))
        return false;
    Handle child(info.hProcess);
    return true;
}

std::string ProgramPath() {
    // Grows past the classic 260 units, so that a long install path is not cut short.
    std::wstring buffer(260, L'\0');
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        if (buffer.size() >= 32768)
            return {};
        buffer.resize(buffer.size() * 2);
    }
    return launch_detail::WithoutLongPathPrefix(Narrow(buffer));
}

uint32_t StartThread(ThreadProcedure procedure, int argument) {
    if (!procedure)
        return 0;
    ThreadTable& table = Threads();
    {
        std::lock_guard hold(table.lock);
        std::erase_if(table.threads,
                      [](const auto& entry) { return ::WaitForSingleObject(entry.second.get(), 0) == WAIT_OBJECT_0; });
    }
    auto start = std::make_unique<ThreadStart>(ThreadStart{procedure, argument});
    launch_detail::CountThreadStart();
    HANDLE created = ::CreateThread(nullptr, 4096, ThreadEntry, start.get(), 0, nullptr);
    if (!created) {
        launch_detail::CountThreadEnd();
        return 0;
    }
    start.release();  // the thread owns it now
    std::lock_guard hold(table.lock);
    uint32_t number = ++table.lastNumber;
    table.threads.emplace_back(number, Handle(created));
    return number;
}

}  // namespace zefo
