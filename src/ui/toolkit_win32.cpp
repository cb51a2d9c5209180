#include "ui/toolkit_win32.h"

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/wide_text_win32.h"

namespace zefo::ui {

namespace {

constexpr wchar_t kInvokerClass[] = L"ZefoInvoker";
// wParam 0, lParam: std::function<void()>* to run on the UI thread.
constexpr UINT kInvokeMessage = WM_APP + 1;
// Posted to the invoker: report lists take on the rows added since.
constexpr UINT kShowRowsMessage = WM_APP + 2;
// Posted to the invoker: text lists take on the lines other threads appended.
constexpr UINT kAppendLinesMessage = WM_APP + 3;
// Lines other threads may leave waiting for the UI thread; beyond this they wait
// for it as every other call does.
constexpr size_t kMaxWaitingLines = 10000;
// The invoker's timer after which text lists draw the lines added meanwhile: a
// worker writing many lines repaints the list a few times a second, not per line.
constexpr UINT_PTR kLinesTimer = 1;
constexpr UINT kLinesDelayMs = 40;
// The layout the program passes is in pixels at this resolution.
constexpr UINT kBaseDpi = 96;
constexpr int kDropDownListHeight = 350;
constexpr int kMaxItemText = 1 << 20;

// --- owned handles ---

struct WindowDestroyer {
    void operator()(HWND window) const {
        // Children were destroyed with their parent already; the procedure must
        // no longer reach a toolkit that is letting go of the window.
        if (IsWindow(window)) {
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            DestroyWindow(window);
        }
    }
};
using UniqueWindow = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer>;

struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
};
using UniqueFont = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

struct DcDeleter {
    void operator()(HDC dc) const { DeleteDC(dc); }
};
using UniqueDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDeleter>;

struct CoTaskMemDeleter {
    void operator()(void* memory) const { CoTaskMemFree(memory); }
};

class ScreenDc {
  public:
    explicit ScreenDc(HWND window) : window_(window), dc_(GetDC(window)) {}
    ~ScreenDc() {
        if (dc_)
            ReleaseDC(window_, dc_);
    }
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
    HDC get() const { return dc_; }

  private:
    HWND window_;
    HDC dc_;
};

class SelectedObject {
  public:
    SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), old_(object ? SelectObject(dc, object) : nullptr) {}
    ~SelectedObject() {
        if (old_)
            SelectObject(dc_, old_);
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

  private:
    HDC dc_;
    HGDIOBJ old_;
};

class ComApartment {
  public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

  private:
    HRESULT result_;
};

// Windows of the calling thread that a message box disables besides its owner,
// enabled again when the box is gone.
class ThreadWindowsDisabled {
  public:
    explicit ThreadWindowsDisabled(HWND owner) : owner_(owner) {
        EnumThreadWindows(GetCurrentThreadId(), &ThreadWindowsDisabled::Collect, reinterpret_cast<LPARAM>(this));
        for (HWND window : disabled_)
            EnableWindow(window, FALSE);
    }
    ~ThreadWindowsDisabled() {
        for (HWND window : disabled_) {
            if (IsWindow(window))
                EnableWindow(window, TRUE);
        }
    }
    ThreadWindowsDisabled(const ThreadWindowsDisabled&) = delete;
    ThreadWindowsDisabled& operator=(const ThreadWindowsDisabled&) = delete;

  private:
    static BOOL CALLBACK Collect(HWND window, LPARAM param) {
        auto* self = reinterpret_cast<ThreadWindowsDisabled*>(param);
        if (window != self->owner_ && IsWindowVisible(window) && IsWindowEnabled(window))
            self->disabled_.push_back(window);
        return TRUE;
    }

    HWND owner_;
    std::vector<HWND> disabled_;
};

// --- resolution-dependent services, looked up at run time (Windows 10 and later) ---

template <class Function>
Function LookUp(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    FARPROC address = user32 ? GetProcAddress(user32, name) : nullptr;
    // The detour through a plain function pointer keeps -Wcast-function-type quiet.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

struct DpiServices {
    UINT(WINAPI* dpiForWindow)(HWND) = nullptr;
    BOOL(WINAPI* adjustForDpi)(LPRECT, DWORD, BOOL, DWORD, UINT) = nullptr;
    BOOL(WINAPI* parametersForDpi)(UINT, UINT, PVOID, UINT, UINT) = nullptr;
};

const DpiServices& Dpi() {
    static const DpiServices services = [] {
        DpiServices s;
        s.dpiForWindow = LookUp<decltype(s.dpiForWindow)>("GetDpiForWindow");
        s.adjustForDpi = LookUp<decltype(s.adjustForDpi)>("AdjustWindowRectExForDpi");
        s.parametersForDpi = LookUp<decltype(s.parametersForDpi)>("SystemParametersInfoForDpi");
        return s;
    }();
    return services;
}

UINT SystemDpi() {
    ScreenDc screen(nullptr);
    int dpi = screen.get() ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 0;
    return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

UINT WindowDpi(HWND window) {
    UINT dpi = Dpi().dpiForWindow ? Dpi().dpiForWindow(window) : 0;
    return dpi ? dpi : SystemDpi();
}

int Scale(int value, UINT dpi) {
    return MulDiv(value, static_cast<int>(dpi), static_cast<int>(kBaseDpi));
}

HFONT CreateMessageFont(UINT dpi) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    bool found = false;
    if (Dpi().parametersForDpi) {
        found = Dpi().parametersForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi) != 0;
    }
    if (!found && SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        found = true;
        metrics.lfMessageFont.lfHeight =
            MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi), static_cast<int>(SystemDpi()));
    }
    if (!found) {
        GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(LOGFONTW), &metrics.lfMessageFont);
        metrics.lfMessageFont.lfHeight = -Scale(12, dpi);
    }
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

// The window of this process in the foreground, the owner of a dialog.
HWND ForegroundWindowOfProcess() {
    HWND window = GetForegroundWindow();
    DWORD process = 0;
    if (!window || !GetWindowThreadProcessId(window, &process) || process != GetCurrentProcessId() ||
        !IsWindowVisible(window))
        return nullptr;
    return window;
}

std::wstring WindowText(HWND window) {
    int length = GetWindowTextLengthW(window);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(std::max(copied, 0)));
    return text;
}

int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM, LPARAM data) {
    const auto* initial = reinterpret_cast<const wchar_t*>(data);
    if (message == BFFM_INITIALIZED && initial && *initial)
        SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(initial));
    return 0;
}

enum class Kind { Button, TextList, ProgressBar, Label, ReportList, DropDown, TextField };

struct CreateParams {
    class Win32Toolkit* toolkit;
    int number;
};

LRESULT CALLBACK TopLevelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK InvokerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ReportListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam);

// A report-list row. The list view holds no rows of its own (LVS_OWNERDATA): it
// asks for the text and check mark of the rows it draws.
struct ReportRow {
    std::wstring text;
    bool checked = false;
};

bool RegisterClasses(HINSTANCE instance) {
    static const bool registered = [instance] {
        WNDCLASSEXW top{};
        top.cbSize = sizeof(top);
        top.lpfnWndProc = TopLevelProc;
        top.cbWndExtra = sizeof(LONG_PTR);
        top.hInstance = instance;
        top.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
        if (!top.hIcon)
            top.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
        top.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        top.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_3DFACE + 1);
        top.lpszClassName = kWin32WindowClass;
        WNDCLASSEXW invoker{};
        invoker.cbSize = sizeof(invoker);
        invoker.lpfnWndProc = InvokerProc;
        invoker.hInstance = instance;
        invoker.lpszClassName = kInvokerClass;
        auto ok = [](const WNDCLASSEXW& wc) {
            return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        };
        return ok(top) && ok(invoker);
    }();
    return registered;
}

class Win32Toolkit final : public Toolkit {
  public:
    Win32Toolkit();
    ~Win32Toolkit() override;
    Win32Toolkit(const Win32Toolkit&) = delete;
    Win32Toolkit& operator=(const Win32Toolkit&) = delete;

    int OpenWindow(int window, int x, int y, int width, int height, const std::string& title, unsigned flags) override;
    void CloseWindow(int window) override;
    void DisableWindow(int window, int state) override;
    void KeepOnTop(int window, int state) override;
    void SetWindowTitle(int window, const std::string& title) override;

    int ButtonGadget(int gadget, int x, int y, int width, int height, const std::string& text) override;
    int TextListGadget(int gadget, int x, int y, int width, int height) override;
    int ProgressBarGadget(int gadget, int x, int y, int width, int height, int minimum, int maximum) override;
    int LabelGadget(int gadget, int x, int y, int width, int height, const std::string& text) override;
    int ReportListGadget(int gadget,
                         int x,
                         int y,
                         int width,
                         int height,
                         const std::string& title,
                         int columnWidth,
                         unsigned flags) override;
    int DropDownGadget(int gadget, int x, int y, int width, int height) override;
    int TextFieldGadget(int gadget, int x, int y, int width, int height, const std::string& text) override;

    int DisableGadget(int gadget, int state) override;
    int AddItem(int gadget, int position, const std::string& text) override;
    int ClearItems(int gadget) override;
    int CountItems(int gadget) override;
    int SetState(int gadget, int value) override;
    int GetState(int gadget) override;
    std::string GetText(int gadget) override;
    std::string GetItemText(int gadget, int row) override;
    int GetItemState(int gadget, int row) override;
    int SetItemState(int gadget, int row, int value) override;
    void* NativeHandle(int gadget) override;
    int FitColumn(int gadget) override;
    void SetCancelGadget(int window, int gadget) override;

    int WaitEvent(int timeoutMs) override;
    int EventGadget() override;
    int EventType() override;
    int EventWindow() override;

    int ShowMessage(const std::string& title, const std::string& text, unsigned flags) override;
    std::string FolderRequester(const std::string& title, const std::string& initialFolder) override;

    void RunAtomically(const std::function<void()>& fn) override;
    void AppendLine(int gadget, const std::string& text) override;

    // Called by the top-level window procedure on the UI thread.
    bool HandleWindowMessage(HWND hwnd, int number, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // Called by a report list's window procedure before the list view sees the message.
    bool HandleReportListMessage(HWND list, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // The list view's own window procedure.
    LRESULT CallListView(HWND list, UINT message, WPARAM wParam, LPARAM lParam) const {
        return CallWindowProcW(listViewProc_, list, message, wParam, lParam);
    }
    // Gives every report list the row count it has not been given yet.
    void ShowPendingRows();
    // Lets the text lists that were filled since the timer started repaint.
    void DrawHeldLines();
    // Adds the lines other threads appended (UI thread).
    void AppendWaitingLines();

  private:
    struct WindowRecord {
        int number = 0;
        UniqueWindow hwnd;
        int width = 0, height = 0;  // client area at 96 dpi
        DWORD style = 0, exStyle = 0;
        UINT dpi = kBaseDpi;
        int cancelGadget = 0;
        HWND lastFocus = nullptr;
    };

    struct GadgetRecord {
        int number = 0;
        int window = 0;
        Kind kind = Kind::Button;
        HWND hwnd = nullptr;                      // owned by the parent window
        int x = 0, y = 0, width = 0, height = 0;  // at 96 dpi
        int columnWidth = 0;                      // report list, at 96 dpi
        int extent = 0;                           // text list: widest line in pixels
        bool redrawHeld = false;                  // text list: lines wait to be drawn
        int heldSelection = -1;                   // text list while held: the selection asked for
        int heldScrollTo = -1;                    // text list while held: the line to scroll into view
        std::vector<ReportRow> rows;              // report list
        int shownRows = 0;                        // report list: the row count the list view has
        bool checkBoxes = false;                  // report list
    };

    struct Event {
        int code = kEventNone;
        int gadget = 0;
        int type = 0;
        int window = 0;
    };

    // Runs `f` on the UI thread and returns its result; calls from other threads
    // wait in SendMessageW until the UI thread has run it. Lines other threads
    // appended take effect first.
    template <class F>
    std::invoke_result_t<F&> OnUiThread(F&& f);
    // Runs `f` on the UI thread, after the waiting lines when it is not called from
    // within another operation.
    template <class F>
    std::invoke_result_t<F&> Outermost(F& f);

    bool OnUiThreadNow() const { return GetCurrentThreadId() == uiThread_; }
    HFONT Font(UINT dpi);
    WindowRecord* LookupWindow(int number);
    WindowRecord* LookupWindow(HWND hwnd);
    GadgetRecord* LookupGadget(int number);
    GadgetRecord* LookupGadget(int number, Kind kind);
    GadgetRecord* LookupGadget(HWND hwnd);
    int Create(int gadget,
               Kind kind,
               const wchar_t* windowClass,
               DWORD style,
               DWORD exStyle,
               int x,
               int y,
               int width,
               int height,
               const std::string& text);
    void Place(GadgetRecord& gadget, const WindowRecord& window);
    void FitDropDownHeight(const GadgetRecord& gadget, UINT dpi);
    void PutInReadingOrder(const GadgetRecord& gadget);
    int MeasureLine(HWND list, const std::wstring& line);
    void RecomputeExtent(GadgetRecord& gadget);
    void CloseWindowNow(int window);
    void Push(const Event& event);
    void PressCancel(const WindowRecord& window);
    bool PreTranslate(MSG& msg);
    void FocusFirstControl();
    void OnDpiChanged(WindowRecord& window, UINT dpi, const RECT& suggested);
    std::string ItemText(const GadgetRecord& gadget, int row);
    void ShowRows(GadgetRecord& gadget);
    void ScheduleShowRows();
    void HoldLines(GadgetRecord& gadget);
    void SelectRow(const GadgetRecord& gadget, int row, bool select);
    void SetChecked(GadgetRecord& gadget, int row, bool checked);
    void ToggleCheck(GadgetRecord& gadget, int row);
    static void FillRow(const GadgetRecord& gadget, LVITEMW& item);
    static int FindRow(const GadgetRecord& gadget, const NMLVFINDITEMW& find);

    DWORD uiThread_ = 0;
    HINSTANCE instance_ = nullptr;
    bool ready_ = false;
    std::map<UINT, UniqueFont> fonts_;
    UniqueWindow invoker_;
    std::map<int, WindowRecord> windows_;
    std::vector<int> openOrder_;  // windows by the time they were opened, last opened last
    std::map<int, GadgetRecord> gadgets_;
    std::deque<Event> events_;
    Event last_;
    bool showRowsPosted_ = false;
    bool linesTimerSet_ = false;
    int depth_ = 0;  // operations running on the UI thread, one within another
    // Lines appended by other threads, in order, until the UI thread adds them.
    std::mutex waitingLock_;
    std::vector<std::pair<int, std::string>> waitingLines_;
    bool appendPosted_ = false;              // guarded by waitingLock_
    std::atomic<bool> linesWaiting_{false};  // a quick look without the lock
    UniqueDc measureDc_;
    int lineMargin_ = 0;              // what a list adds to a line's width, asked once
    WNDPROC listViewProc_ = nullptr;  // the same for every list view
};

Win32Toolkit::Win32Toolkit() : uiThread_(GetCurrentThreadId()), instance_(GetModuleHandleW(nullptr)) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS;
    if (!InitCommonControlsEx(&controls)) {
        controls.dwICC = ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS;
        InitCommonControlsEx(&controls);
    }
    if (!RegisterClasses(instance_))
        return;
    invoker_.reset(CreateWindowExW(0, kInvokerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance_, nullptr));
    ready_ = invoker_ != nullptr;
    if (ready_)
        SetWindowLongPtrW(invoker_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32Toolkit::~Win32Toolkit() {
    // Windows go before the fonts they use; the procedure sees no toolkit once
    // a record is gone.
    std::map<int, WindowRecord> windows = std::move(windows_);
    windows_.clear();
    gadgets_.clear();
    openOrder_.clear();
    windows.clear();
    invoker_.reset();
    fonts_.clear();
}

template <class F>
std::invoke_result_t<F&> Win32Toolkit::OnUiThread(F&& f) {
    using Result = std::invoke_result_t<F&>;
    if (OnUiThreadNow())
        return Outermost(f);
    if constexpr (std::is_void_v<Result>) {
        if (!invoker_)
            return;
        std::function<void()> call = [this, &f] { Outermost(f); };
        SendMessageW(invoker_.get(), kInvokeMessage, 0, reinterpret_cast<LPARAM>(&call));
    } else {
        Result result{};
        if (!invoker_)
            return result;
        std::function<void()> call = [this, &f, &result] { result = Outermost(f); };
        SendMessageW(invoker_.get(), kInvokeMessage, 0, reinterpret_cast<LPARAM>(&call));
        return result;
    }
}

template <class F>
std::invoke_result_t<F&> Win32Toolkit::Outermost(F& f) {
    AppendWaitingLines();
    struct Nested {
        int& depth;
        explicit Nested(int& count) : depth(++count) {}
        ~Nested() { --depth; }
    } nested(depth_);
    return f();
}

void Win32Toolkit::AppendLine(int gadget, const std::string& text) {
    // Another thread's line waits for the UI thread instead of the thread for the
    // UI: a worker writing a line per file does not stop for each (under Wine every
    // cross-thread call is several trips through its server).
    if (!OnUiThreadNow() && invoker_) {
        bool queued = false;
        {
            std::lock_guard guard(waitingLock_);
            if (waitingLines_.size() < kMaxWaitingLines) {
                waitingLines_.emplace_back(gadget, text);
                linesWaiting_.store(true, std::memory_order_release);
                if (appendPosted_)
                    return;
                appendPosted_ = true;
                queued = true;
            }
        }
        if (queued) {
            // Told once per batch; when it cannot be told, the lines are added now.
            if (!PostMessageW(invoker_.get(), kAppendLinesMessage, 0, 0))
                OnUiThread([] {});
            return;
        }
        // Too many waiting: this one waits for the UI thread like any other call.
    }
    Toolkit::AppendLine(gadget, text);
}

void Win32Toolkit::AppendWaitingLines() {
    // Within an operation (a message dispatched by a nested loop) they wait for the
    // next operation or the event loop.
    if (depth_ > 0 || !linesWaiting_.load(std::memory_order_acquire))
        return;
    std::vector<std::pair<int, std::string>> lines;
    {
        std::lock_guard guard(waitingLock_);
        lines.swap(waitingLines_);
        appendPosted_ = false;
        linesWaiting_.store(false, std::memory_order_relaxed);
    }
    // As one operation: lines appended meanwhile wait for the next turn.
    ++depth_;
    for (const auto& [gadget, text] : lines)
        Toolkit::AppendLine(gadget, text);
    --depth_;
}

HFONT Win32Toolkit::Font(UINT dpi) {
    auto it = fonts_.find(dpi);
    if (it == fonts_.end())
        it = fonts_.emplace(dpi, UniqueFont(CreateMessageFont(dpi))).first;
    return it->second.get();
}

Win32Toolkit::WindowRecord* Win32Toolkit::LookupWindow(int number) {
    auto it = windows_.find(number);
    return it == windows_.end() ? nullptr : &it->second;
}

Win32Toolkit::WindowRecord* Win32Toolkit::LookupWindow(HWND hwnd) {
    for (auto& [number, record] : windows_) {
        if (record.hwnd.get() == hwnd)
            return &record;
    }
    return nullptr;
}

Win32Toolkit::GadgetRecord* Win32Toolkit::LookupGadget(int number) {
    auto it = gadgets_.find(number);
    return it == gadgets_.end() ? nullptr : &it->second;
}

Win32Toolkit::GadgetRecord* Win32Toolkit::LookupGadget(int number, Kind kind) {
    GadgetRecord* gadget = LookupGadget(number);
    return gadget && gadget->kind == kind ? gadget : nullptr;
}

Win32Toolkit::GadgetRecord* Win32Toolkit::LookupGadget(HWND hwnd) {
    if (!hwnd)
        return nullptr;
    auto it = gadgets_.find(GetDlgCtrlID(hwnd));
    return it != gadgets_.end() && it->second.hwnd == hwnd ? &it->second : nullptr;
}

// --- windows ---

int Win32Toolkit::OpenWindow(int window,
                             int x,
                             int y,
                             int width,
                             int height,
                             const std::string& title,
                             unsigned flags) {
    return OnUiThread([&]() -> int {
        if (!ready_)
            return 0;
        if (windows_.count(window))
            CloseWindowNow(window);

        DWORD style = WS_CLIPCHILDREN;
        style |= (flags & kWindowTitleBar) ? WS_CAPTION : (WS_POPUP | WS_BORDER);
        if (flags & kWindowSystemMenu)
            style |= WS_SYSMENU;
        if (flags & kWindowMinimize)
            style |= WS_MINIMIZEBOX;
        const DWORD exStyle = WS_EX_CONTROLPARENT;

        MONITORINFO monitor{};
        monitor.cbSize = sizeof(monitor);
        GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor);
        const RECT work = monitor.rcWork;

        CreateParams params{this, window};
        HWND hwnd = CreateWindowExW(exStyle, kWin32WindowClass, Widen(title).c_str(), style, work.left, work.top, width,
                                    height, nullptr, nullptr, instance_, &params);
        if (!hwnd)
            return 0;
        WindowRecord& record = windows_[window];
        record.number = window;
        record.hwnd.reset(hwnd);
        record.width = width;
        record.height = height;
        record.style = style;
        record.exStyle = exStyle;
        record.dpi = WindowDpi(hwnd);
        openOrder_.push_back(window);

        RECT frame{0, 0, Scale(width, record.dpi), Scale(height, record.dpi)};
        if (Dpi().adjustForDpi)
            Dpi().adjustForDpi(&frame, style, FALSE, exStyle, record.dpi);
        else
            AdjustWindowRectEx(&frame, style, FALSE, exStyle);
        const int outerWidth = frame.right - frame.left;
        const int outerHeight = frame.bottom - frame.top;
        int left = work.left + Scale(x, record.dpi);
        int top = work.top + Scale(y, record.dpi);
        if (flags & kWindowCentered) {
            left = work.left + std::max(0, static_cast<int>(work.right - work.left - outerWidth) / 2);
            top = work.top + std::max(0, static_cast<int>(work.bottom - work.top - outerHeight) / 2);
        }
        SetWindowPos(hwnd, nullptr, left, top, outerWidth, outerHeight, SWP_NOZORDER | SWP_NOACTIVATE);
        ShowWindow(hwnd, SW_SHOW);
        UpdateWindow(hwnd);
        // Focus rectangles and access keys appear once the keyboard is used, as in dialogs.
        SendMessageW(hwnd, WM_CHANGEUISTATE, MAKEWPARAM(UIS_INITIALIZE, 0), 0);
        return 1;
    });
}

void Win32Toolkit::CloseWindowNow(int window) {
    auto it = windows_.find(window);
    if (it == windows_.end())
        return;
    UniqueWindow hwnd = std::move(it->second.hwnd);
    windows_.erase(it);
    std::erase(openOrder_, window);
    std::erase_if(gadgets_, [window](const auto& entry) { return entry.second.window == window; });
    // Events of a window that is gone would act on gadgets that no longer exist.
    std::erase_if(events_, [window](const Event& event) { return event.window == window; });
    hwnd.reset();
}

void Win32Toolkit::CloseWindow(int window) {
    OnUiThread([&] { CloseWindowNow(window); });
}

void Win32Toolkit::DisableWindow(int window, int state) {
    OnUiThread([&] {
        if (WindowRecord* record = LookupWindow(window))
            EnableWindow(record->hwnd.get(), state == 0);
    });
}

void Win32Toolkit::KeepOnTop(int window, int state) {
    OnUiThread([&] {
        if (WindowRecord* record = LookupWindow(window))
            SetWindowPos(record->hwnd.get(), state ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    });
}

void Win32Toolkit::SetWindowTitle(int window, const std::string& title) {
    OnUiThread([&] {
        if (WindowRecord* record = LookupWindow(window))
            SetWindowTextW(record->hwnd.get(), Widen(title).c_str());
    });
}

// --- gadget creation ---

int Win32Toolkit::Create(int gadget,
                         Kind kind,
                         const wchar_t* windowClass,
                         DWORD style,
                         DWORD exStyle,
                         int x,
                         int y,
                         int width,
                         int height,
                         const std::string& text) {
    if (openOrder_.empty())
        return 0;
    WindowRecord* window = LookupWindow(openOrder_.back());
    if (!window)
        return 0;
    if (GadgetRecord* old = LookupGadget(gadget)) {
        if (IsWindow(old->hwnd))
            DestroyWindow(old->hwnd);
        gadgets_.erase(gadget);
    }
    const UINT dpi = window->dpi;
    HWND hwnd = CreateWindowExW(exStyle, windowClass, Widen(text).c_str(), WS_CHILD | WS_VISIBLE | style, Scale(x, dpi),
                                Scale(y, dpi), Scale(width, dpi), Scale(height, dpi), window->hwnd.get(),
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(gadget)), instance_, nullptr);
    if (!hwnd)
        return 0;
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(Font(dpi)), FALSE);
    GadgetRecord& record = gadgets_[gadget];
    record.number = gadget;
    record.window = window->number;
    record.kind = kind;
    record.hwnd = hwnd;
    record.x = x;
    record.y = y;
    record.width = width;
    record.height = height;
    PutInReadingOrder(record);
    return 1;
}

// Tab moves through the controls from top to bottom and left to right, whatever
// order they were created in.
void Win32Toolkit::PutInReadingOrder(const GadgetRecord& gadget) {
    const GadgetRecord* before = nullptr;
    for (const auto& [number, other] : gadgets_) {
        if (number == gadget.number || other.window != gadget.window)
            continue;
        bool precedes = std::pair(other.y, other.x) <= std::pair(gadget.y, gadget.x);
        if (precedes && (!before || std::pair(before->y, before->x) <= std::pair(other.y, other.x)))
            before = &other;
    }
    SetWindowPos(gadget.hwnd, before ? before->hwnd : HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
}

// A closed drop-down list gets the height the layout gives it; the open list
// keeps its own height.
void Win32Toolkit::FitDropDownHeight(const GadgetRecord& gadget, UINT dpi) {
    RECT closed{};
    GetWindowRect(gadget.hwnd, &closed);
    const int difference = (closed.bottom - closed.top) - Scale(gadget.height, dpi);
    const int itemHeight = static_cast<int>(SendMessageW(gadget.hwnd, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
    if (difference == 0 || itemHeight <= 0)
        return;
    // Never smaller than the text needs.
    TEXTMETRICW metrics{};
    {
        ScreenDc dc(gadget.hwnd);
        SelectedObject font(dc.get(), reinterpret_cast<HGDIOBJ>(SendMessageW(gadget.hwnd, WM_GETFONT, 0, 0)));
        GetTextMetricsW(dc.get(), &metrics);
    }
    const int wanted = std::max<int>(itemHeight - difference, metrics.tmHeight);
    SendMessageW(gadget.hwnd, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), wanted);
}

int Win32Toolkit::ButtonGadget(int gadget, int x, int y, int width, int height, const std::string& text) {
    return OnUiThread([&] {
        return Create(gadget, Kind::Button, L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, 0, x, y, width, height, text);
    });
}

int Win32Toolkit::TextListGadget(int gadget, int x, int y, int width, int height) {
    return OnUiThread([&] {
        return Create(gadget, Kind::TextList, L"LISTBOX",
                      WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, WS_EX_CLIENTEDGE, x, y,
                      width, height, {});
    });
}

int Win32Toolkit::ProgressBarGadget(int gadget, int x, int y, int width, int height, int minimum, int maximum) {
    return OnUiThread([&] {
        if (!Create(gadget, Kind::ProgressBar, PROGRESS_CLASSW, 0, 0, x, y, width, height, {}))
            return 0;
        HWND hwnd = gadgets_[gadget].hwnd;
        SendMessageW(hwnd, PBM_SETRANGE32, static_cast<WPARAM>(minimum), static_cast<LPARAM>(maximum));
        SendMessageW(hwnd, PBM_SETPOS, static_cast<WPARAM>(minimum), 0);
        return 1;
    });
}

int Win32Toolkit::LabelGadget(int gadget, int x, int y, int width, int height, const std::string& text) {
    return OnUiThread(
        [&] { return Create(gadget, Kind::Label, L"STATIC", SS_LEFT | SS_NOPREFIX, 0, x, y, width, height, text); });
}

int Win32Toolkit::ReportListGadget(int gadget,
                                   int x,
                                   int y,
                                   int width,
                                   int height,
                                   const std::string& title,
                                   int columnWidth,
                                   unsigned flags) {
    return OnUiThread([&] {
        // The rows live in the record and the list view only draws them, so that
        // adding, reading and dropping many rows costs no work in the control.
        DWORD style = WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_OWNERDATA;
        if (flags & kReportNoHeader)
            style |= LVS_NOCOLUMNHEADER;
        if (!Create(gadget, Kind::ReportList, WC_LISTVIEWW, style, WS_EX_CLIENTEDGE, x, y, width, height, {}))
            return 0;
        GadgetRecord& record = gadgets_[gadget];
        record.columnWidth = columnWidth;
        record.checkBoxes = (flags & kReportCheckBoxes) != 0;
        // Our procedure goes in front of the list view's. Not with SetWindowSubclass:
        // under Wine that costs each message a window-property lookup in the server.
        SetWindowLongPtrW(record.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        listViewProc_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(record.hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ReportListProc)));
        DWORD extended = LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
        if (record.checkBoxes)
            extended |= LVS_EX_CHECKBOXES;
        SendMessageW(record.hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, extended, extended);
        // The check boxes are state images that the list view asks for.
        if (record.checkBoxes)
            SendMessageW(record.hwnd, LVM_SETCALLBACKMASK, LVIS_STATEIMAGEMASK, 0);
        std::wstring heading = Widen(title);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.cx = Scale(columnWidth, LookupWindow(record.window)->dpi);
        column.pszText = heading.data();
        if (SendMessageW(record.hwnd, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column)) < 0)
            return 0;
        return 1;
    });
}

int Win32Toolkit::DropDownGadget(int gadget, int x, int y, int width, int height) {
    return OnUiThread([&] {
        // The height given to the control is that of the open list.
        if (!Create(gadget, Kind::DropDown, WC_COMBOBOXW, WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_HASSTRINGS,
                    0, x, y, width, kDropDownListHeight, {}))
            return 0;
        GadgetRecord& record = gadgets_[gadget];
        record.height = height;
        FitDropDownHeight(record, LookupWindow(record.window)->dpi);
        return 1;
    });
}

int Win32Toolkit::TextFieldGadget(int gadget, int x, int y, int width, int height, const std::string& text) {
    return OnUiThread([&] {
        return Create(gadget, Kind::TextField, L"EDIT", WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, x, y,
                      width, height, text);
    });
}

// --- gadget operations ---

int Win32Toolkit::DisableGadget(int gadget, int state) {
    return OnUiThread([&] {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return 0;
        // A control that loses its input keeps no focus: pass it on as Tab would.
        HWND next = nullptr;
        if (state && GetFocus() == record->hwnd)
            next = GetNextDlgTabItem(GetParent(record->hwnd), record->hwnd, FALSE);
        EnableWindow(record->hwnd, state == 0);
        if (next && next != record->hwnd && IsWindowEnabled(next))
            SetFocus(next);
        return 1;
    });
}

int Win32Toolkit::MeasureLine(HWND list, const std::wstring& line) {
    // A memory DC of our own: measuring asks nothing of the window's DC.
    if (!measureDc_) {
        measureDc_.reset(CreateCompatibleDC(nullptr));
        // The list draws its lines with a small margin on the left. (Under Wine each
        // system metric asked is a look at the display's settings.)
        lineMargin_ = 2 * GetSystemMetrics(SM_CXEDGE) + 2;
    }
    if (!measureDc_)
        return 0;
    SelectedObject font(measureDc_.get(), reinterpret_cast<HGDIOBJ>(SendMessageW(list, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(measureDc_.get(), line.c_str(), static_cast<int>(std::min<size_t>(line.size(), INT_MAX)),
                          &size);
    return size.cx + lineMargin_;
}

void Win32Toolkit::RecomputeExtent(GadgetRecord& gadget) {
    gadget.extent = 0;
    const int count = static_cast<int>(SendMessageW(gadget.hwnd, LB_GETCOUNT, 0, 0));
    for (int row = 0; row < count; ++row)
        gadget.extent = std::max(gadget.extent, MeasureLine(gadget.hwnd, Widen(ItemText(gadget, row))));
    SendMessageW(gadget.hwnd, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(gadget.extent), 0);
}

int Win32Toolkit::AddItem(int gadget, int position, const std::string& text) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return 0;
        const int count = CountItems(gadget);
        if (position < 0 || position > count)
            position = -1;
        std::wstring line = Widen(text);
        switch (record->kind) {
            case Kind::TextList: {
                HoldLines(*record);
                LRESULT index = SendMessageW(record->hwnd, LB_INSERTSTRING, static_cast<WPARAM>(position),
                                             reinterpret_cast<LPARAM>(line.c_str()));
                if (index < 0)
                    return 0;
                if (record->redrawHeld) {
                    // The lines asked for move with the lines.
                    record->heldSelection += record->heldSelection >= index ? 1 : 0;
                    record->heldScrollTo += record->heldScrollTo >= index ? 1 : 0;
                }
                const int width = MeasureLine(record->hwnd, line);
                if (width > record->extent) {
                    record->extent = width;
                    SendMessageW(record->hwnd, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(width), 0);
                }
                return 1;
            }
            case Kind::DropDown:
                return SendMessageW(record->hwnd, CB_INSERTSTRING, static_cast<WPARAM>(position),
                                    reinterpret_cast<LPARAM>(line.c_str())) >= 0;
            case Kind::ReportList: {
                const int row = position < 0 ? count : position;
                record->rows.insert(record->rows.begin() + row, ReportRow{std::move(line), false});
                if (row >= record->shownRows) {
                    // The list view learns of appended rows once, when the loop runs next.
                    ScheduleShowRows();
                    return 1;
                }
                // A row inserted among the shown ones: the highlight stays on its row.
                const auto selected = static_cast<int>(
                    SendMessageW(record->hwnd, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
                ShowRows(*record);
                if (selected >= row)
                    SelectRow(*record, selected + 1, true);
                InvalidateRect(record->hwnd, nullptr, TRUE);
                return 1;
            }
            default:
                return 0;
        }
    });
}

int Win32Toolkit::ClearItems(int gadget) {
    return OnUiThread([&] {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return 0;
        switch (record->kind) {
            case Kind::TextList:
                SendMessageW(record->hwnd, LB_RESETCONTENT, 0, 0);
                record->heldSelection = record->heldScrollTo = -1;
                record->extent = 0;
                SendMessageW(record->hwnd, LB_SETHORIZONTALEXTENT, 0, 0);
                return 1;
            case Kind::DropDown:
                SendMessageW(record->hwnd, CB_RESETCONTENT, 0, 0);
                return 1;
            case Kind::ReportList:
                record->rows.clear();
                record->shownRows = 0;
                SendMessageW(record->hwnd, LVM_DELETEALLITEMS, 0, 0);
                return 1;
            default:
                return 0;
        }
    });
}

int Win32Toolkit::CountItems(int gadget) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return 0;
        LRESULT count = 0;
        switch (record->kind) {
            case Kind::TextList:
                count = SendMessageW(record->hwnd, LB_GETCOUNT, 0, 0);
                break;
            case Kind::DropDown:
                count = SendMessageW(record->hwnd, CB_GETCOUNT, 0, 0);
                break;
            case Kind::ReportList:
                count = static_cast<LRESULT>(record->rows.size());
                break;
            default:
                break;
        }
        return static_cast<int>(std::max<LRESULT>(count, 0));
    });
}

int Win32Toolkit::SetState(int gadget, int value) {
    return OnUiThread([&] {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return 0;
        const bool inRange = value >= 0 && value < CountItems(gadget);
        const WPARAM index = inRange ? static_cast<WPARAM>(value) : static_cast<WPARAM>(-1);
        switch (record->kind) {
            case Kind::ProgressBar:
                SendMessageW(record->hwnd, PBM_SETPOS, static_cast<WPARAM>(value), 0);
                return 1;
            case Kind::TextList:
                // Selecting a line scrolls it into view; -1 takes the selection away
                // and leaves the scroll position as it is. While lines wait to be
                // drawn, both wait with them.
                if (record->redrawHeld) {
                    record->heldSelection = inRange ? value : -1;
                    record->heldScrollTo = inRange ? value : record->heldScrollTo;
                    return 1;
                }
                SendMessageW(record->hwnd, LB_SETCURSEL, index, 0);
                return 1;
            case Kind::DropDown:
                SendMessageW(record->hwnd, CB_SETCURSEL, index, 0);
                return 1;
            default:
                return 0;
        }
    });
}

int Win32Toolkit::GetState(int gadget) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return 0;
        switch (record->kind) {
            case Kind::ProgressBar:
                return static_cast<int>(SendMessageW(record->hwnd, PBM_GETPOS, 0, 0));
            case Kind::TextList:
                if (record->redrawHeld)
                    return record->heldSelection;
                return static_cast<int>(SendMessageW(record->hwnd, LB_GETCURSEL, 0, 0));
            case Kind::DropDown:
                return static_cast<int>(SendMessageW(record->hwnd, CB_GETCURSEL, 0, 0));
            case Kind::ReportList:
                return static_cast<int>(
                    SendMessageW(record->hwnd, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
            default:
                return 0;
        }
    });
}

std::string Win32Toolkit::ItemText(const GadgetRecord& gadget, int row) {
    std::wstring text;
    switch (gadget.kind) {
        case Kind::TextList:
        case Kind::DropDown: {
            const bool list = gadget.kind == Kind::TextList;
            LRESULT length = SendMessageW(gadget.hwnd, list ? LB_GETTEXTLEN : CB_GETLBTEXTLEN, row, 0);
            if (length < 0 || length > kMaxItemText)
                return {};
            text.assign(static_cast<size_t>(length) + 1, L'\0');
            LRESULT copied =
                SendMessageW(gadget.hwnd, list ? LB_GETTEXT : CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(text.data()));
            text.resize(static_cast<size_t>(std::clamp<LRESULT>(copied, 0, length)));
            break;
        }
        case Kind::ReportList:
            if (row >= 0 && static_cast<size_t>(row) < gadget.rows.size())
                return Narrow(gadget.rows[static_cast<size_t>(row)].text);
            break;
        default:
            break;
    }
    return Narrow(text);
}

std::string Win32Toolkit::GetText(int gadget) {
    return OnUiThread([&]() -> std::string {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return {};
        switch (record->kind) {
            case Kind::TextList:
            case Kind::DropDown: {
                int selected = GetState(gadget);
                return selected >= 0 ? ItemText(*record, selected) : std::string();
            }
            case Kind::ReportList: {
                wchar_t heading[260] = {};
                LVCOLUMNW column{};
                column.mask = LVCF_TEXT;
                column.pszText = heading;
                column.cchTextMax = static_cast<int>(std::size(heading));
                if (!SendMessageW(record->hwnd, LVM_GETCOLUMNW, 0, reinterpret_cast<LPARAM>(&column)))
                    return {};
                return Narrow(std::wstring(heading));
            }
            default:
                return Narrow(WindowText(record->hwnd));
        }
    });
}

std::string Win32Toolkit::GetItemText(int gadget, int row) {
    return OnUiThread([&]() -> std::string {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record || row < 0 || row >= CountItems(gadget))
            return {};
        return ItemText(*record, row);
    });
}

int Win32Toolkit::GetItemState(int gadget, int row) {
    return OnUiThread([&] {
        GadgetRecord* record = LookupGadget(gadget, Kind::ReportList);
        if (!record || row < 0 || static_cast<size_t>(row) >= record->rows.size())
            return 0;
        int result = record->rows[static_cast<size_t>(row)].checked ? kItemChecked : 0;
        // Rows the list view has not been given yet cannot be highlighted.
        if (row < record->shownRows &&
            (SendMessageW(record->hwnd, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) & LVIS_SELECTED))
            result |= kItemSelected;
        return result;
    });
}

int Win32Toolkit::SetItemState(int gadget, int row, int value) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget, Kind::ReportList);
        if (!record || row < 0 || static_cast<size_t>(row) >= record->rows.size())
            return 0;
        SetChecked(*record, row, (value & kItemChecked) != 0);
        if (value & kItemSelected) {
            ShowRows(*record);
            SelectRow(*record, row, true);
        } else if (row < record->shownRows) {
            SelectRow(*record, row, false);
        }
        return 1;
    });
}

void* Win32Toolkit::NativeHandle(int gadget) {
    return OnUiThread([&]() -> void* {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return nullptr;
        // Whoever sends messages to the list view finds every row there.
        if (record->kind == Kind::ReportList)
            ShowRows(*record);
        return record->hwnd;
    });
}

int Win32Toolkit::FitColumn(int gadget) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget, Kind::ReportList);
        if (!record)
            return 0;
        // The width left for the column depends on whether the rows need a scroll bar.
        ShowRows(*record);
        return SendMessageW(record->hwnd, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(LVSCW_AUTOSIZE_USEHEADER, 0)) != 0;
    });
}

void Win32Toolkit::SetCancelGadget(int window, int gadget) {
    OnUiThread([&] {
        if (WindowRecord* record = LookupWindow(window))
            record->cancelGadget = gadget;
    });
}

// --- list contents shown later ---

void Win32Toolkit::ShowRows(GadgetRecord& gadget) {
    const auto count = static_cast<int>(gadget.rows.size());
    if (gadget.shownRows == count)
        return;
    gadget.shownRows = count;
    SendMessageW(gadget.hwnd, LVM_SETITEMCOUNT, static_cast<WPARAM>(count), LVSICF_NOSCROLL);
}

// Before the list view paints, so that it draws the new rows at once.
void Win32Toolkit::ScheduleShowRows() {
    if (showRowsPosted_ || !invoker_)
        return;
    showRowsPosted_ = PostMessageW(invoker_.get(), kShowRowsMessage, 0, 0) != 0;
}

void Win32Toolkit::ShowPendingRows() {
    showRowsPosted_ = false;
    for (auto& [number, gadget] : gadgets_) {
        if (gadget.kind == Kind::ReportList)
            ShowRows(gadget);
    }
}

// Lines that come in quick succession (a worker's status lines) are drawn
// together: without its redraw a list box does not update its scroll bar or
// repaint per line, and the selecting and scrolling that SetState asks for wait
// too. All of it happens once when the timer ends the hold.
void Win32Toolkit::HoldLines(GadgetRecord& gadget) {
    if (gadget.redrawHeld)
        return;
    SendMessageW(gadget.hwnd, WM_SETREDRAW, FALSE, 0);
    gadget.redrawHeld = true;
    gadget.heldSelection = static_cast<int>(SendMessageW(gadget.hwnd, LB_GETCURSEL, 0, 0));
    gadget.heldScrollTo = -1;
    if (!linesTimerSet_ && invoker_)
        linesTimerSet_ = SetTimer(invoker_.get(), kLinesTimer, kLinesDelayMs, nullptr) != 0;
    // Without a timer the lines are drawn at once, as without the hold.
    if (!linesTimerSet_)
        DrawHeldLines();
}

void Win32Toolkit::DrawHeldLines() {
    if (linesTimerSet_) {
        KillTimer(invoker_.get(), kLinesTimer);
        linesTimerSet_ = false;
    }
    for (auto& [number, gadget] : gadgets_) {
        if (gadget.kind != Kind::TextList || !gadget.redrawHeld)
            continue;
        gadget.redrawHeld = false;
        if (gadget.heldScrollTo >= 0)
            SendMessageW(gadget.hwnd, LB_SETCURSEL, static_cast<WPARAM>(gadget.heldScrollTo), 0);
        SendMessageW(gadget.hwnd, LB_SETCURSEL, static_cast<WPARAM>(gadget.heldSelection), 0);
        SendMessageW(gadget.hwnd, WM_SETREDRAW, TRUE, 0);
        // Painted now: a paint left in the queue could meet the next hold and draw nothing.
        RedrawWindow(gadget.hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW);
    }
}

void Win32Toolkit::SelectRow(const GadgetRecord& gadget, int row, bool select) {
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = select ? (LVIS_SELECTED | LVIS_FOCUSED) : 0;
    SendMessageW(gadget.hwnd, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void Win32Toolkit::SetChecked(GadgetRecord& gadget, int row, bool checked) {
    ReportRow& target = gadget.rows[static_cast<size_t>(row)];
    if (!gadget.checkBoxes || target.checked == checked)
        return;
    target.checked = checked;
    if (row < gadget.shownRows)
        SendMessageW(gadget.hwnd, LVM_REDRAWITEMS, static_cast<WPARAM>(row), row);
}

// A check box the user clicked or toggled with the space bar.
void Win32Toolkit::ToggleCheck(GadgetRecord& gadget, int row) {
    if (row < 0 || static_cast<size_t>(row) >= gadget.rows.size())
        return;
    SetChecked(gadget, row, !gadget.rows[static_cast<size_t>(row)].checked);
    Push({kEventGadget, gadget.number, kWin32EventSelect, gadget.window});
}

// The list view asks for what it draws or what a caller asked it for.
void Win32Toolkit::FillRow(const GadgetRecord& gadget, LVITEMW& item) {
    if (item.iItem < 0 || static_cast<size_t>(item.iItem) >= gadget.rows.size() || item.iSubItem != 0)
        return;
    const ReportRow& row = gadget.rows[static_cast<size_t>(item.iItem)];
    if ((item.mask & LVIF_TEXT) && item.pszText && item.cchTextMax > 0) {
        const size_t length = std::min(row.text.size(), static_cast<size_t>(item.cchTextMax) - 1);
        std::copy_n(row.text.data(), length, item.pszText);
        item.pszText[length] = L'\0';
    }
    // State image 2 is the checked box, 1 the empty one.
    if ((item.mask & LVIF_STATE) && (item.stateMask & LVIS_STATEIMAGEMASK) && gadget.checkBoxes)
        item.state = (item.state & ~LVIS_STATEIMAGEMASK) | INDEXTOSTATEIMAGEMASK(row.checked ? 2 : 1);
}

// Typing in the list jumps to the next row that begins with the typed text.
int Win32Toolkit::FindRow(const GadgetRecord& gadget, const NMLVFINDITEMW& find) {
    const LVFINDINFOW& info = find.lvfi;
    const auto count = static_cast<int>(gadget.rows.size());
    if (!(info.flags & (LVFI_STRING | LVFI_PARTIAL)) || !info.psz || count == 0)
        return -1;
    const std::wstring_view wanted(info.psz);
    const bool prefix = (info.flags & LVFI_PARTIAL) != 0;
    const int start = find.iStart >= 0 && find.iStart < count ? find.iStart : 0;
    for (int step = 0; step < count; ++step) {
        int row = start + step;
        if (row >= count) {
            if (!(info.flags & LVFI_WRAP))
                break;
            row -= count;
        }
        const std::wstring& text = gadget.rows[static_cast<size_t>(row)].text;
        if (text.size() < wanted.size() || (!prefix && text.size() != wanted.size()))
            continue;
        const auto length = static_cast<int>(wanted.size());
        if (CompareStringOrdinal(text.data(), length, wanted.data(), length, TRUE) == CSTR_EQUAL)
            return row;
    }
    return -1;
}

bool Win32Toolkit::HandleReportListMessage(HWND list, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    GadgetRecord* gadget = LookupGadget(list);
    if (!gadget || gadget->kind != Kind::ReportList || !gadget->checkBoxes)
        return false;
    switch (message) {
        case LVM_SETITEMSTATE: {
            // The check mark is ours; the highlight and the focus stay the list view's.
            const auto* item = reinterpret_cast<const LVITEMW*>(lParam);
            if (!item || !(item->stateMask & LVIS_STATEIMAGEMASK))
                return false;
            const bool checked = ((item->state & LVIS_STATEIMAGEMASK) >> 12) == 2;
            const auto row = static_cast<int>(wParam);
            if (row == -1) {
                for (int each = 0; each < static_cast<int>(gadget->rows.size()); ++each)
                    SetChecked(*gadget, each, checked);
            } else if (row >= 0 && static_cast<size_t>(row) < gadget->rows.size()) {
                SetChecked(*gadget, row, checked);
            } else {
                result = FALSE;
                return true;
            }
            LVITEMW rest = *item;
            rest.stateMask &= ~LVIS_STATEIMAGEMASK;
            result = rest.stateMask ? CallListView(list, message, wParam, reinterpret_cast<LPARAM>(&rest)) : TRUE;
            return true;
        }
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK: {
            // Each click on a box toggles it, also the second of a double click.
            LVHITTESTINFO hit{};
            hit.pt = POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            const auto row = static_cast<int>(SendMessageW(list, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
            if (row < 0 || !(hit.flags & LVHT_ONITEMSTATEICON))
                return false;
            SetFocus(list);
            ToggleCheck(*gadget, row);
            result = 0;
            return true;
        }
        case WM_KEYDOWN:
            if (wParam != VK_SPACE)
                return false;
            ToggleCheck(*gadget,
                        static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED)));
            result = 0;
            return true;
        case WM_CHAR:
            // The space that toggled a box does not start a search for a row.
            if (wParam != L' ')
                return false;
            result = 0;
            return true;
        default:
            return false;
    }
}

// --- events ---

void Win32Toolkit::Push(const Event& event) {
    events_.push_back(event);
}

void Win32Toolkit::PressCancel(const WindowRecord& window) {
    GadgetRecord* gadget = LookupGadget(window.cancelGadget);
    if (!gadget || gadget->window != window.number || !IsWindowEnabled(gadget->hwnd) ||
        !IsWindowEnabled(window.hwnd.get()))
        return;
    Push({kEventGadget, gadget->number, 0, window.number});
}

// Keyboard handling of a dialog: Tab and the arrow keys move the focus, Escape
// presses the window's cancel gadget and Enter the focused button. There is no
// default button, so Enter elsewhere does nothing.
bool Win32Toolkit::PreTranslate(MSG& msg) {
    if (!msg.hwnd)
        return false;
    HWND root = GetAncestor(msg.hwnd, GA_ROOT);
    WindowRecord* window = LookupWindow(root);
    if (!window)
        return false;
    if (msg.message == WM_KEYDOWN && (msg.wParam == VK_ESCAPE || msg.wParam == VK_RETURN)) {
        GadgetRecord* focused = LookupGadget(msg.hwnd);
        if (!focused)
            focused = LookupGadget(GetParent(msg.hwnd));
        // An open drop-down list takes both keys itself.
        if (focused && focused->kind == Kind::DropDown && SendMessageW(focused->hwnd, CB_GETDROPPEDSTATE, 0, 0))
            return IsDialogMessageW(root, &msg) != 0;
        if (msg.wParam == VK_ESCAPE) {
            PressCancel(*window);
            return true;
        }
        if (!focused || focused->kind != Kind::Button)
            return true;
    }
    return IsDialogMessageW(root, &msg) != 0;
}

// The first control of the active window takes the focus when nothing in it
// has one, as in a dialog box.
void Win32Toolkit::FocusFirstControl() {
    HWND active = GetActiveWindow();
    if (!active || !LookupWindow(active))
        return;
    HWND focus = GetFocus();
    if (focus && focus != active)
        return;
    HWND first = GetNextDlgTabItem(active, nullptr, FALSE);
    if (first && first != active && IsChild(active, first))
        SetFocus(first);
}

int Win32Toolkit::WaitEvent(int timeoutMs) {
    // Only the loop's thread fetches events.
    if (!OnUiThreadNow())
        return kEventNone;
    AppendWaitingLines();
    FocusFirstControl();
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(std::max(timeoutMs, 0));
    for (;;) {
        if (!events_.empty()) {
            last_ = events_.front();
            events_.pop_front();
            return last_.code;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                continue;
            if (!PreTranslate(msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            if (!events_.empty())
                break;
        }
        if (!events_.empty())
            continue;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return kEventNone;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

int Win32Toolkit::EventGadget() {
    return OnUiThread([&] { return last_.gadget; });
}

int Win32Toolkit::EventType() {
    return OnUiThread([&] { return last_.type; });
}

int Win32Toolkit::EventWindow() {
    return OnUiThread([&] { return last_.window; });
}

// --- dialogs, on the calling thread ---

int Win32Toolkit::ShowMessage(const std::string& title, const std::string& text, unsigned flags) {
    // The lines written before the message are shown before it.
    if (linesWaiting_.load(std::memory_order_acquire))
        OnUiThread([] {});
    HWND owner = ForegroundWindowOfProcess();
    ThreadWindowsDisabled others(owner);
    std::wstring wideText = Widen(text);
    std::wstring wideTitle = Widen(title);
    int result = MessageBoxW(owner, wideText.c_str(), wideTitle.c_str(), flags);
    // The owner may be another thread's window that is being destroyed (a box
    // just dismissed); a message, above all a crash report, is never lost to that.
    if (result == 0 && owner)
        result = MessageBoxW(nullptr, wideText.c_str(), wideTitle.c_str(), flags);
    return result;
}

std::string Win32Toolkit::FolderRequester(const std::string& title, const std::string& initialFolder) {
    ComApartment com;
    std::wstring heading = Widen(title);
    std::wstring initial = Widen(initialFolder);
    // The browser selects "C:\games" but not always "C:\games\"; a root keeps its backslash.
    while (initial.size() > 3 && (initial.back() == L'\\' || initial.back() == L'/'))
        initial.pop_back();

    BROWSEINFOW info{};
    info.hwndOwner = ForegroundWindowOfProcess();
    info.lpszTitle = heading.c_str();
    info.ulFlags = BIF_NEWDIALOGSTYLE | BIF_EDITBOX | BIF_RETURNONLYFSDIRS;
    info.lpfn = BrowseCallback;
    info.lParam = reinterpret_cast<LPARAM>(initial.c_str());
    std::unique_ptr<ITEMIDLIST, CoTaskMemDeleter> chosen(SHBrowseForFolderW(&info));
    if (!chosen)
        return {};

    std::wstring path(32768, L'\0');
    if (!SHGetPathFromIDListEx(chosen.get(), path.data(), static_cast<DWORD>(path.size()), GPFIDL_DEFAULT))
        return {};
    path.resize(wcslen(path.c_str()));
    if (path.empty())
        return {};
    if (path.back() != L'\\')
        path += L'\\';
    return Narrow(path);
}

void Win32Toolkit::RunAtomically(const std::function<void()>& fn) {
    OnUiThread([&] { fn(); });
}

// --- window procedure ---

void Win32Toolkit::OnDpiChanged(WindowRecord& window, UINT dpi, const RECT& suggested) {
    window.dpi = dpi;
    RECT frame{0, 0, Scale(window.width, dpi), Scale(window.height, dpi)};
    if (Dpi().adjustForDpi)
        Dpi().adjustForDpi(&frame, window.style, FALSE, window.exStyle, dpi);
    else
        AdjustWindowRectEx(&frame, window.style, FALSE, window.exStyle);
    SetWindowPos(window.hwnd.get(), nullptr, suggested.left, suggested.top, frame.right - frame.left,
                 frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE);
    HFONT font = Font(dpi);
    for (auto& [number, gadget] : gadgets_) {
        if (gadget.window != window.number)
            continue;
        const int height = gadget.kind == Kind::DropDown ? kDropDownListHeight : gadget.height;
        SetWindowPos(gadget.hwnd, nullptr, Scale(gadget.x, dpi), Scale(gadget.y, dpi), Scale(gadget.width, dpi),
                     Scale(height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
        SendMessageW(gadget.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        if (gadget.kind == Kind::DropDown)
            FitDropDownHeight(gadget, dpi);
        else if (gadget.kind == Kind::TextList)
            RecomputeExtent(gadget);
        else if (gadget.kind == Kind::ReportList)
            SendMessageW(gadget.hwnd, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(Scale(gadget.columnWidth, dpi), 0));
    }
}

bool Win32Toolkit::HandleWindowMessage(HWND hwnd,
                                       int number,
                                       UINT message,
                                       WPARAM wParam,
                                       LPARAM lParam,
                                       LRESULT& result) {
    WindowRecord* window = LookupWindow(number);
    if (!window || window->hwnd.get() != hwnd)
        return false;
    switch (message) {
        case WM_COMMAND: {
            GadgetRecord* gadget = LookupGadget(reinterpret_cast<HWND>(lParam));
            if (!gadget || gadget->window != number)
                return false;
            const UINT code = HIWORD(wParam);
            if (gadget->kind == Kind::TextList && code == LBN_SELCHANGE && gadget->redrawHeld) {
                // The user picked a line while lines wait: that selection stands.
                gadget->heldSelection = static_cast<int>(SendMessageW(gadget->hwnd, LB_GETCURSEL, 0, 0));
                gadget->heldScrollTo = -1;
            }
            int type = -1;
            if (gadget->kind == Kind::Button && code == BN_CLICKED)
                type = 0;
            else if ((gadget->kind == Kind::TextList && code == LBN_SELCHANGE) ||
                     (gadget->kind == Kind::DropDown && code == CBN_SELCHANGE))
                type = kWin32EventSelect;
            else if (gadget->kind == Kind::TextList && code == LBN_DBLCLK)
                type = kWin32EventDoubleClick;
            // Nothing reaches a disabled control or window from the user.
            if (type >= 0 && IsWindowEnabled(gadget->hwnd) && IsWindowEnabled(hwnd))
                Push({kEventGadget, gadget->number, type, number});
            result = 0;
            return true;
        }
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            GadgetRecord* gadget = header ? LookupGadget(header->hwndFrom) : nullptr;
            if (!gadget || gadget->window != number || gadget->kind != Kind::ReportList)
                return false;
            result = 0;
            switch (header->code) {
                case LVN_GETDISPINFOW:
                    FillRow(*gadget, reinterpret_cast<NMLVDISPINFOW*>(lParam)->item);
                    break;
                case LVN_ODFINDITEMW:
                    result = FindRow(*gadget, *reinterpret_cast<const NMLVFINDITEMW*>(lParam));
                    break;
                case NM_CLICK:
                    Push({kEventGadget, gadget->number, kWin32EventSelect, number});
                    break;
                case NM_DBLCLK:
                    Push({kEventGadget, gadget->number, kWin32EventDoubleClick, number});
                    break;
                default:
                    break;
            }
            return true;
        }
        case WM_CLOSE:
            // The close box only reports; the program decides when the window goes.
            if (IsWindowEnabled(hwnd))
                Push({kEventClose, 0, 0, number});
            result = 0;
            return true;
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                window->lastFocus = focus && IsChild(hwnd, focus) ? focus : nullptr;
            } else if (!HIWORD(wParam)) {
                HWND target = window->lastFocus;
                if (!target || !IsWindow(target) || !IsChild(hwnd, target) || !IsWindowEnabled(target))
                    target = GetNextDlgTabItem(hwnd, nullptr, FALSE);
                SetFocus(target && IsChild(hwnd, target) ? target : hwnd);
            }
            result = 0;
            return true;
        case WM_NEXTDLGCTL: {
            // IsDialogMessage asks the window itself to move the focus on Tab.
            HWND target =
                LOWORD(lParam) ? reinterpret_cast<HWND>(wParam) : GetNextDlgTabItem(hwnd, GetFocus(), wParam != 0);
            if (target && IsChild(hwnd, target)) {
                SetFocus(target);
                if (SendMessageW(target, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL)
                    SendMessageW(target, EM_SETSEL, 0, -1);
            }
            result = 0;
            return true;
        }
        case WM_DPICHANGED:
            OnDpiChanged(*window, HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
            result = 0;
            return true;
        default:
            return false;
    }
}

LRESULT CALLBACK TopLevelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            const auto* params = static_cast<const CreateParams*>(create->lpCreateParams);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(params->toolkit));
            SetWindowLongPtrW(window, 0, params->number);
        }
        auto* toolkit = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        LRESULT result = 0;
        if (toolkit && toolkit->HandleWindowMessage(window, static_cast<int>(GetWindowLongPtrW(window, 0)), message,
                                                    wParam, lParam, result))
            return result;
        // Closing is the program's decision, also when nothing handles the message.
        if (message == WM_CLOSE)
            return 0;
    } catch (...) {
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK InvokerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        if (message == kInvokeMessage) {
            (*reinterpret_cast<std::function<void()>*>(lParam))();
            return 1;
        }
        auto* toolkit = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == kShowRowsMessage && toolkit) {
            toolkit->ShowPendingRows();
            return 0;
        }
        if (message == kAppendLinesMessage && toolkit) {
            toolkit->AppendWaitingLines();
            return 0;
        }
        if (message == WM_TIMER && wParam == kLinesTimer && toolkit) {
            toolkit->DrawHeldLines();
            return 0;
        }
    } catch (...) {
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The toolkit outlives its list views: it destroys every window before it goes.
LRESULT CALLBACK ReportListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* toolkit = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrW(list, GWLP_USERDATA));
    if (!toolkit)
        return DefWindowProcW(list, message, wParam, lParam);
    try {
        LRESULT result = 0;
        if (toolkit->HandleReportListMessage(list, message, wParam, lParam, result))
            return result;
        return toolkit->CallListView(list, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

}  // namespace

std::unique_ptr<Toolkit> CreateWin32Toolkit() {
    return std::make_unique<Win32Toolkit>();
}

}  // namespace zefo::ui
