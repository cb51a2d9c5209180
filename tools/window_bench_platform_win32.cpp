#include <windows.h>

#include <atomic>

#include "ui/toolkit_win32.h"
#include "window_bench_platform.h"

namespace zefo::bench {

namespace {

std::atomic<int> paints{0};
WNDPROC countedProc = nullptr;  // set once, before the first message arrives

// In front of the control's procedure by hand: SetWindowSubclass makes every
// message a good deal slower under Wine, which would skew the figures.
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT)
        paints.fetch_add(1, std::memory_order_relaxed);
    return CallWindowProcW(countedProc, window, message, wParam, lParam);
}

}  // namespace

std::unique_ptr<ui::Toolkit> CreatePlatformToolkit() {
    return ui::CreateWin32Toolkit();
}

void PressFromOutside(void* button) {
    PostMessageW(static_cast<HWND>(button), BM_CLICK, 0, 0);
}

void CountPaints(void* control) {
    countedProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(static_cast<HWND>(control), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingProc)));
}

int PaintsCounted() {
    return paints.load(std::memory_order_relaxed);
}

bool LastLineInView(void* list) {
    auto box = static_cast<HWND>(list);
    const LRESULT count = SendMessageW(box, LB_GETCOUNT, 0, 0);
    RECT client{}, last{};
    GetClientRect(box, &client);
    if (count <= 0 ||
        SendMessageW(box, LB_GETITEMRECT, static_cast<WPARAM>(count - 1), reinterpret_cast<LPARAM>(&last)) == LB_ERR)
        return false;
    return last.top >= client.top && last.bottom <= client.bottom;
}

}  // namespace zefo::bench
