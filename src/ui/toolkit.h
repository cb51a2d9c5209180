// The user-interface toolkit: numbered windows and numbered gadgets, one event
// queue and two standard dialogs.
//
// Every backend (Win32, the desktop toolkit on Linux, and the headless one used
// by the tests) implements this interface and nothing else. Windows and gadgets
// are addressed by small integers that the program chooses; a gadget number is
// unique across all windows and a gadget is created in the window opened last.
// An operation on an unknown number does nothing and yields 0 (or the empty text).
//
// Threads: the windows belong to the thread that runs the event loop. Every
// operation may be called from any thread; a backend carries calls from other
// threads out on the loop's thread. The event queries refer to the event that the
// loop's thread fetched last.
#pragma once

#include <functional>
#include <string>

namespace zefo::ui {

// Event codes returned by WaitEvent.
constexpr int kEventNone = 0;
constexpr int kEventGadget = 13100;
constexpr int kEventClose = 16;

// Window flags for OpenWindow.
constexpr unsigned kWindowCentered = 1;   // centre on the screen; x and y are ignored
constexpr unsigned kWindowTitleBar = 2;   // caption
constexpr unsigned kWindowSystemMenu = 4; // system menu with the close box
constexpr unsigned kWindowMinimize = 8;   // minimise box

// Flags for ReportListGadget.
constexpr unsigned kReportNoHeader = 1;
constexpr unsigned kReportCheckBoxes = 2;

// Item state bits of a report-list row (GetItemState, SetItemState).
constexpr int kItemSelected = 1;
constexpr int kItemChecked = 2;

// Message box flags: the warning icon with one OK button, or no icon.
constexpr unsigned kMessageWarning = 48;
constexpr unsigned kMessagePlain = 0;

class Toolkit {
  public:
    virtual ~Toolkit() = default;

    // Windows. Width and height are the client area; the window is shown at once
    // and is never resizable. Returns non-zero on success.
    virtual int OpenWindow(int window, int x, int y, int width, int height, const std::string& title,
                           unsigned flags) = 0;
    // Destroys the window and its gadgets.
    virtual void CloseWindow(int window) = 0;
    // 1 disables input to the window, 0 enables it.
    virtual void DisableWindow(int window, int state) = 0;
    // 1 makes the window topmost, 0 ends that, without moving or sizing it.
    virtual void KeepOnTop(int window, int state) = 0;
    virtual void SetWindowTitle(int window, const std::string& title) = 0;

    // Gadget creation in the window opened last; positions in its client
    // coordinates. Each returns non-zero on success.
    virtual int ButtonGadget(int gadget, int x, int y, int width, int height, const std::string& text) = 0;
    // A single-selection list of text lines with scroll bars.
    virtual int TextListGadget(int gadget, int x, int y, int width, int height) = 0;
    virtual int ProgressBarGadget(int gadget, int x, int y, int width, int height, int minimum, int maximum) = 0;
    virtual int LabelGadget(int gadget, int x, int y, int width, int height, const std::string& text) = 0;
    // A one-column report list with single selection; flags kReport*.
    virtual int ReportListGadget(int gadget, int x, int y, int width, int height, const std::string& title,
                                 int columnWidth, unsigned flags) = 0;
    // A drop-down list that cannot be typed into; its open list is 350 pixels high.
    virtual int DropDownGadget(int gadget, int x, int y, int width, int height) = 0;
    // A one-line edit field that scrolls horizontally.
    virtual int TextFieldGadget(int gadget, int x, int y, int width, int height, const std::string& text) = 0;

    // Gadget operations.
    virtual int DisableGadget(int gadget, int state) = 0;
    // Position -1 appends. Returns non-zero when the item was added.
    virtual int AddItem(int gadget, int position, const std::string& text) = 0;
    virtual int ClearItems(int gadget) = 0;
    virtual int CountItems(int gadget) = 0;
    // Text list: select line `value` and scroll it into view, -1 selects nothing.
    // Drop-down list: select entry `value`. Progress bar: set the position.
    virtual int SetState(int gadget, int value) = 0;
    // Text list: adds `text` as the last line, selects it, scrolls it into view and
    // selects nothing again, as one unit. Called from another thread, a backend may
    // return before the line is shown: lines keep their order, and every later
    // operation from any thread takes effect after them.
    virtual void AppendLine(int gadget, const std::string& text);
    // Drop-down list: index of the selected entry, -1 when none.
    virtual int GetState(int gadget) = 0;
    // Text field: its text. Drop-down list: the selected entry's text, or empty.
    virtual std::string GetText(int gadget) = 0;
    // First-column text of a report-list row.
    virtual std::string GetItemText(int gadget, int row) = 0;
    // Report list: kItemSelected when the row is highlighted, plus kItemChecked.
    virtual int GetItemState(int gadget, int row) = 0;
    // Report list: kItemChecked checks the row's box and leaves the row unselected.
    virtual int SetItemState(int gadget, int row, int value) = 0;
    // The control's native handle (HWND on Windows, GtkWidget* with GTK), or nullptr.
    virtual void* NativeHandle(int gadget) = 0;
    // Report list: sizes column 0 to fill the list's width (auto-size-to-header).
    virtual int FitColumn(int gadget) = 0;
    // Escape in `window` raises a click on `gadget` (the window's Cancel button).
    virtual void SetCancelGadget(int window, int gadget) = 0;

    // Events. Returns the next event's code, or kEventNone when none arrived
    // within the timeout. Only the loop's thread calls it.
    virtual int WaitEvent(int timeoutMs) = 0;
    virtual int EventGadget() = 0;
    virtual int EventType() = 0;
    virtual int EventWindow() = 0;

    // Standard dialogs. The message box blocks the calling thread until it is
    // dismissed; its result is the button pressed (callers ignore it).
    virtual int ShowMessage(const std::string& title, const std::string& text, unsigned flags) = 0;
    // Returns the chosen folder ending in the path separator (a backslash on
    // Windows, a slash elsewhere), or the empty text on cancel.
    virtual std::string FolderRequester(const std::string& title, const std::string& initialFolder) = 0;

    // Runs `fn` on the loop's thread as one unit: no other toolkit call from any
    // thread takes effect while it runs. Returns after `fn` has returned.
    virtual void RunAtomically(const std::function<void()>& fn) = 0;
};

// The process-wide toolkit. The program's entry point (or a test) sets it
// before anything else uses it.
Toolkit& UI();
void SetToolkit(Toolkit* toolkit);

}  // namespace zefo::ui
