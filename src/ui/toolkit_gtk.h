// The GTK 3 backend of the toolkit: GTK widgets on a fixed layout, the desktop's
// theme and font, a modal message dialog and GTK's folder chooser.
//
// The thread that creates the toolkit owns its windows and is the one that calls
// WaitEvent. Calls from other threads are carried to it as idle sources on the
// default main context and wait for their result; a message box or folder
// chooser asked for on another thread opens on the loop's thread and blocks only
// the caller.
//
// Gadget event types: 0 a button click (also Escape on a window's cancel
// gadget); kGtkEventSelect a selection or check mark the user changed in a list,
// drop-down or report list; kGtkEventActivate a double click or Enter on a line
// or row. NativeHandle gives the GtkWidget* of the control (the GtkTreeView of
// a list, inside its GtkScrolledWindow).
#pragma once

#include <memory>

#include "ui/toolkit.h"

namespace zefo::ui {

constexpr int kGtkEventSelect = 1;
constexpr int kGtkEventActivate = 2;

// Creates the toolkit on the calling thread and initialises GTK on first use
// (the display named by DISPLAY). Never null: without a display OpenWindow
// fails and the dialogs return at once. A `programName` given to the first call
// names the program to the desktop (its window class, as in its desktop entry) and
// is the icon name of its windows.
std::unique_ptr<Toolkit> CreateGtkToolkit(const char* programName = nullptr);

}  // namespace zefo::ui
