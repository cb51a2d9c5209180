// The Win32 backend of the toolkit: native controls of user32 and the common
// controls, the message box and the shell's folder browser.
//
// The thread that creates the toolkit owns its windows and is the one that calls
// WaitEvent. Calls from other threads are carried to it through one hidden
// message-only window with SendMessageW and wait for the result; the message box
// and the folder requester run on the calling thread.
//
// Each control's id is its gadget number and every top-level window has the
// class kWin32WindowClass, so another process can find and address them.
// Gadget event types: 0 a button click (also Escape on a window's cancel
// gadget); kWin32EventSelect a selection or check mark the user changed in a
// list, drop-down or report list; kWin32EventDoubleClick a double click on a
// line or row.
#pragma once

#include <memory>

#include "ui/toolkit.h"

namespace zefo::ui {

constexpr wchar_t kWin32WindowClass[] = L"ZefoWindow";
constexpr int kWin32EventSelect = 1;
constexpr int kWin32EventDoubleClick = 2;

// Creates the toolkit on the calling thread (the program's main thread). Never
// null: when the window classes cannot be registered, OpenWindow fails.
std::unique_ptr<Toolkit> CreateWin32Toolkit();

}  // namespace zefo::ui
