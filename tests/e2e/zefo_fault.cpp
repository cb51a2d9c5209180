// zefo_fault: makes the running program fault on its main thread, for the
// end-to-end test of its crash report. The toolkit's hidden call window runs the
// call its message points to; a message that points at an address where nothing
// is makes the main thread read there, an invalid memory access that nothing in
// the program handles.
//
//   zefo_fault [address]     (default 16; exit code 0 when the message was posted)
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    LPARAM address = argc > 1 ? static_cast<LPARAM>(std::wcstoll(argv[1], nullptr, 0)) : 16;
    // The window class and message number of the Win32 toolkit's call window.
    HWND invoker = FindWindowExW(HWND_MESSAGE, nullptr, L"ZefoInvoker", nullptr);
    if (!invoker) {
        std::fputws(L"zefo_fault: the program is not running\n", stderr);
        return 1;
    }
    if (!PostMessageW(invoker, WM_APP + 1, 0, address)) {
        std::fputws(L"zefo_fault: cannot reach the program\n", stderr);
        return 1;
    }
    return 0;
}
