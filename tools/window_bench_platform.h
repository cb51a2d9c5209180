// What the window benchmark needs beyond the toolkit, once per backend
// (window_bench_platform_win32.cpp, window_bench_platform_gtk.cpp).
#pragma once

#include <memory>

#include "ui/toolkit.h"

namespace zefo::bench {

// The backend the program uses on this system, created on the calling thread.
std::unique_ptr<ui::Toolkit> CreatePlatformToolkit();
// Presses `button` (a NativeHandle) as a user would; callable from any thread.
void PressFromOutside(void* button);
// Counts the repaints of `control` from now on.
void CountPaints(void* control);
int PaintsCounted();
// True when the last line of the text list `list` lies within its visible area.
bool LastLineInView(void* list);

}  // namespace zefo::bench
