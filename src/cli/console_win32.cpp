#include <windows.h>

#include <shellapi.h>

#include "base/wide_text_win32.h"
#include "cli/console.h"

namespace zefo::cli {

namespace {

std::atomic<bool>* interruptFlag = nullptr;

HANDLE Handle(Stream stream) {
    return GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

BOOL WINAPI OnControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    // The first request stops the work; a second one ends the program the system's way.
    return interruptFlag && !interruptFlag->exchange(true) ? TRUE : FALSE;
}

}  // namespace

std::vector<std::string> Arguments(int, char**) {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(Narrow(wide[i]));
    LocalFree(wide);
    return arguments;
}

bool IsTerminal(Stream stream) {
    DWORD mode = 0;
    return GetConsoleMode(Handle(stream), &mode) != 0;
}

void Write(Stream stream, std::string_view text) {
    HANDLE handle = Handle(stream);
    if (IsTerminal(stream)) {
        std::wstring wide = Widen(text);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    while (!text.empty()) {
        DWORD put = 0;
        if (!WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) || put == 0)
            return;
        text.remove_prefix(put);
    }
}

int TerminalWidth() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

void StopOnInterrupt(std::atomic<bool>* flag) {
    interruptFlag = flag;
    SetConsoleCtrlHandler(OnControl, TRUE);
}

}  // namespace zefo::cli
