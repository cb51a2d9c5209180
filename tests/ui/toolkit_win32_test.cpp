// The Win32 toolkit on real windows (under Wine in this build; needs a display).
#include "ui/toolkit_win32.h"

#include <windows.h>

#include <commctrl.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/ids.h"
#include "app/layout.h"
#include "common/temp_dir.h"

namespace zefo::ui {
namespace {

// The program's windows take their gadget numbers and places from the program's
// own layout; the cases that try the toolkit on other layouts give their own.
using namespace zefo::layout;
constexpr unsigned kMainFlags = kMainWindowFlags;
constexpr unsigned kDialogFlags = kSecondaryWindowFlags;

struct SeenEvent {
    int code = kEventNone;
    int gadget = 0;
    int type = 0;
    int window = 0;
};

std::wstring Wide(const std::string& text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

std::wstring TextOf(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

HWND Handle(Toolkit& ui, int gadget) {
    return static_cast<HWND>(ui.NativeHandle(gadget));
}

HWND TopLevel(Toolkit& ui, int gadget) {
    return GetAncestor(Handle(ui, gadget), GA_ROOT);
}

// True when the last line of the list box lies within its client area.
bool LastLineInView(HWND list) {
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    RECT client{}, last{};
    GetClientRect(list, &client);
    return count > 0 &&
           SendMessageW(list, LB_GETITEMRECT, static_cast<WPARAM>(count - 1), reinterpret_cast<LPARAM>(&last)) !=
               LB_ERR &&
           last.top >= client.top && last.bottom <= client.bottom;
}

// A point on the check box of `row`, as the list view itself hit-tests it.
POINT CheckBoxOf(HWND view, int row) {
    RECT bounds{};
    ListView_GetItemRect(view, row, &bounds, LVIR_BOUNDS);
    for (int x = bounds.left; x < bounds.right; ++x) {
        LVHITTESTINFO hit{};
        hit.pt = POINT{x, (bounds.top + bounds.bottom) / 2};
        if (ListView_HitTest(view, &hit) == row && (hit.flags & LVHT_ONITEMSTATEICON))
            return hit.pt;
    }
    return POINT{-1, -1};
}

void PostClick(HWND window, POINT at) {
    PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
    PostMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
}

// Runs the event loop as the program does until `done` holds; false on time-out.
bool PumpUntil(Toolkit& ui, const std::function<bool()>& done, int timeoutMs, std::vector<SeenEvent>* seen = nullptr) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        int code = ui.WaitEvent(10);
        if (code != kEventNone && seen)
            seen->push_back({code, ui.EventGadget(), ui.EventType(), ui.EventWindow()});
    }
    return true;
}

// The first event within the time-out, or code kEventNone.
SeenEvent NextEvent(Toolkit& ui, int timeoutMs) {
    std::vector<SeenEvent> seen;
    PumpUntil(
        ui, [&] { return !seen.empty(); }, timeoutMs, &seen);
    return seen.empty() ? SeenEvent{} : seen.front();
}

// A visible dialog of this process (message box, folder browser).
HWND FindDialog(const std::wstring& title) {
    struct Search {
        std::wstring title;
        HWND found = nullptr;
    } search{title};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process == GetCurrentProcessId() && IsWindowVisible(window) && ClassOf(window) == L"#32770" &&
                (s->title.empty() || TextOf(window) == s->title)) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForDialog(const std::wstring& title, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (HWND dialog = FindDialog(title))
            return dialog;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

UINT DpiOf(HWND window) {
    using Fn = UINT(WINAPI*)(HWND);
    auto fn = reinterpret_cast<Fn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    return fn ? fn(window) : 96;
}

int Scaled(int value, HWND window) {
    return MulDiv(value, static_cast<int>(DpiOf(window)), 96);
}

std::string VersionValue(const std::wstring& name) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (!size)
        return {};
    std::vector<char> block(size);
    if (!GetFileVersionInfoW(path, 0, size, block.data()))
        return {};
    wchar_t* value = nullptr;
    UINT length = 0;
    std::wstring query = L"\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || !value)
        return {};
    std::wstring wide(value, length ? length - 1 : 0);
    std::string narrow;
    for (wchar_t c : wide)
        narrow += static_cast<char>(c);
    return narrow;
}

// True when the loaded common controls library is the version 6 assembly that
// the manifest asks for (it lives in the side-by-side store, not in system32).
bool CommonControls6Loaded() {
    wchar_t name[MAX_PATH] = {};
    if (!GetModuleFileNameW(GetModuleHandleW(L"comctl32.dll"), name, MAX_PATH))
        return false;
    std::wstring path = name;
    for (wchar_t& c : path)
        c = static_cast<wchar_t>(towlower(c));
    return path.find(L"microsoft.windows.common-controls_6595b64144ccf1df_6.") != std::wstring::npos;
}

class Win32ToolkitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        toolkit = CreateWin32Toolkit();
        ASSERT_TRUE(toolkit);
    }
    void TearDown() override { toolkit.reset(); }

    Toolkit& ui() { return *toolkit; }

    std::unique_ptr<Toolkit> toolkit;
};

// The program's resources are linked into this test, so it runs as the program does.
TEST(Win32Resources, ManifestAndVersionInformationTakeEffect) {
    EXPECT_EQ(VersionValue(L"ProductName"), "Zefo");
    EXPECT_EQ(VersionValue(L"FileDescription"), "Zefo game installer and updater");
    EXPECT_EQ(VersionValue(L"ProductVersion"), ZEFO_TEST_PROJECT_VERSION);

    // Common controls 6, as the manifest asks.
    EXPECT_TRUE(CommonControls6Loaded());

    // Per-monitor DPI awareness from the manifest.
    using GetContext = DPI_AWARENESS_CONTEXT(WINAPI*)();
    using Awareness = DPI_AWARENESS(WINAPI*)(DPI_AWARENESS_CONTEXT);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    auto getContext = reinterpret_cast<GetContext>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "GetThreadDpiAwarenessContext")));
    auto awareness = reinterpret_cast<Awareness>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "GetAwarenessFromDpiAwarenessContext")));
    ASSERT_TRUE(getContext && awareness);
    EXPECT_EQ(awareness(getContext()), DPI_AWARENESS_PER_MONITOR_AWARE);
}

TEST_F(Win32ToolkitTest, WindowsAreCentredFixedTopLevelWindowsWithTheGivenClientArea) {
    ASSERT_NE(OpenWindow(ui(), mainWindow, kMainWindow, "Zefo Updater", kMainFlags), 0);
    ASSERT_NE(Button(ui(), actionButton, kUpdateButton, "Update"), 0);
    HWND main = TopLevel(ui(), actionButton);
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(IsWindowVisible(main));
    EXPECT_EQ(ClassOf(main), kWin32WindowClass);
    EXPECT_EQ(TextOf(main), L"Zefo Updater");
    EXPECT_EQ(GetWindow(main, GW_OWNER), nullptr);

    LONG_PTR style = GetWindowLongPtrW(main, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);

    RECT client{};
    GetClientRect(main, &client);
    EXPECT_EQ(client.right, Scaled(kMainWindow.width, main));
    EXPECT_EQ(client.bottom, Scaled(kMainWindow.height, main));

    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(main, MONITOR_DEFAULTTOPRIMARY), &monitor);
    RECT outer{};
    GetWindowRect(main, &outer);
    int workCentreX = (monitor.rcWork.left + monitor.rcWork.right) / 2;
    int workCentreY = (monitor.rcWork.top + monitor.rcWork.bottom) / 2;
    EXPECT_NEAR((outer.left + outer.right) / 2, workCentreX, 1);
    EXPECT_NEAR((outer.top + outer.bottom) / 2, workCentreY, 1);

    // A second window has no minimise box; titles change; windows can be
    // disabled and kept on top.
    ASSERT_NE(OpenWindow(ui(), optionsWindow, kOptionsWindow, "Options", kDialogFlags), 0);
    ASSERT_NE(Button(ui(), saveButton, kSaveButton, "Save"), 0);
    HWND options = TopLevel(ui(), saveButton);
    EXPECT_NE(options, main);
    EXPECT_FALSE(GetWindowLongPtrW(options, GWL_STYLE) & WS_MINIMIZEBOX);
    EXPECT_EQ(GetWindow(options, GW_OWNER), nullptr);

    ui().SetWindowTitle(optionsWindow, "Optionen \xe2\x80\x93 \xc3\xa4");
    EXPECT_EQ(TextOf(options), L"Optionen \u2013 \u00e4");
    ui().DisableWindow(mainWindow, 1);
    EXPECT_FALSE(IsWindowEnabled(main));
    ui().DisableWindow(mainWindow, 0);
    EXPECT_TRUE(IsWindowEnabled(main));
    ui().KeepOnTop(mainWindow, 1);
    EXPECT_TRUE(GetWindowLongPtrW(main, GWL_EXSTYLE) & WS_EX_TOPMOST);
    RECT after{};
    GetWindowRect(main, &after);
    EXPECT_TRUE(EqualRect(&outer, &after));
    ui().KeepOnTop(mainWindow, 0);
    EXPECT_FALSE(GetWindowLongPtrW(main, GWL_EXSTYLE) & WS_EX_TOPMOST);

    // Closing destroys the window and its gadgets; their numbers are unknown again.
    ui().CloseWindow(optionsWindow);
    EXPECT_FALSE(IsWindow(options));
    EXPECT_EQ(ui().NativeHandle(saveButton), nullptr);
    EXPECT_EQ(ui().DisableGadget(saveButton, 1), 0);
    EXPECT_EQ(ui().GetText(saveButton), "");
    // New gadgets go to the window opened before it.
    ASSERT_NE(Button(ui(), optionsButton, kUpdaterOptionsButton, "Options"), 0);
    EXPECT_EQ(TopLevel(ui(), optionsButton), main);

    // Opening a number that is open replaces that window.
    ASSERT_NE(ui().OpenWindow(mainWindow, 0, 0, 200, 100, "Again", kMainFlags), 0);
    EXPECT_FALSE(IsWindow(main));
    EXPECT_EQ(ui().NativeHandle(actionButton), nullptr);

    ui().CloseWindow(mainWindow);
    EXPECT_EQ(ui().ButtonGadget(5, 0, 0, 10, 10, "x"), 0);
}

TEST_F(Win32ToolkitTest, GadgetsAreTheNativeControlsWithTheirNumbersAsIds) {
    ASSERT_NE(ui().OpenWindow(1, 0, 0, 400, 400, "Gadgets", kMainFlags), 0);
    ASSERT_NE(ui().DropDownGadget(1, 5, 5, 390, 20), 0);
    ASSERT_NE(ui().ButtonGadget(2, 4, 370, 128, 20, "Install"), 0);
    ASSERT_NE(ui().TextListGadget(5, 5, 30, 390, 100), 0);
    ASSERT_NE(ui().ProgressBarGadget(6, 5, 345, 390, 20, 0, 100), 0);
    ASSERT_NE(ui().LabelGadget(7, 5, 135, 290, 20, "New files"), 0);
    ASSERT_NE(ui().ReportListGadget(9, 5, 155, 290, 100, "", 285, kReportNoHeader | kReportCheckBoxes), 0);
    ASSERT_NE(ui().ReportListGadget(10, 5, 260, 290, 50, "Path", 285, 0), 0);
    ASSERT_NE(ui().TextFieldGadget(15, 5, 315, 225, 20, "updates.example"), 0);

    struct Expected {
        int gadget;
        const wchar_t* windowClass;
    };
    for (Expected e : {Expected{1, L"ComboBox"}, Expected{2, L"Button"}, Expected{5, L"ListBox"},
                       Expected{6, L"msctls_progress32"}, Expected{7, L"Static"}, Expected{9, L"SysListView32"},
                       Expected{10, L"SysListView32"}, Expected{15, L"Edit"}}) {
        HWND control = Handle(ui(), e.gadget);
        ASSERT_NE(control, nullptr) << e.gadget;
        EXPECT_EQ(GetDlgCtrlID(control), e.gadget);
        EXPECT_EQ(_wcsicmp(ClassOf(control).c_str(), e.windowClass), 0) << e.gadget;
        // Every control uses the system's message font.
        auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
        ASSERT_NE(font, nullptr) << e.gadget;
        LOGFONTW used{};
        GetObjectW(font, sizeof(used), &used);
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof(metrics);
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
        EXPECT_STREQ(used.lfFaceName, metrics.lfMessageFont.lfFaceName) << e.gadget;
    }

    HWND window = TopLevel(ui(), 2);
    HWND list = Handle(ui(), 5);
    LONG_PTR listStyle = GetWindowLongPtrW(list, GWL_STYLE);
    EXPECT_TRUE(listStyle & LBS_NOINTEGRALHEIGHT);
    EXPECT_FALSE(listStyle & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL));
    EXPECT_TRUE(GetWindowLongPtrW(list, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    RECT listRect{};
    GetWindowRect(list, &listRect);
    EXPECT_EQ(listRect.bottom - listRect.top, Scaled(100, window));

    HWND edit = Handle(ui(), 15);
    EXPECT_TRUE(GetWindowLongPtrW(edit, GWL_STYLE) & ES_AUTOHSCROLL);
    EXPECT_TRUE(GetWindowLongPtrW(edit, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);

    HWND combo = Handle(ui(), 1);
    EXPECT_EQ(GetWindowLongPtrW(combo, GWL_STYLE) & 3, CBS_DROPDOWNLIST);
    RECT closed{};
    GetWindowRect(combo, &closed);
    // As high as the layout says, unless the text needs a few pixels more.
    EXPECT_GE(closed.bottom - closed.top, Scaled(20, window) - 1);
    EXPECT_LE(closed.bottom - closed.top, Scaled(20, window) + 3);
    RECT dropped{};
    SendMessageW(combo, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
    // The open list is about 350 pixels high (whether the closed field counts differs between systems).
    EXPECT_GE(dropped.bottom - dropped.top, Scaled(350 - 30, window));
    EXPECT_LE(dropped.bottom - dropped.top, Scaled(350, window));

    HWND checked = Handle(ui(), 9);
    LONG_PTR viewStyle = GetWindowLongPtrW(checked, GWL_STYLE);
    EXPECT_EQ(viewStyle & LVS_TYPEMASK, LVS_REPORT);
    EXPECT_TRUE(viewStyle & LVS_SINGLESEL);
    EXPECT_TRUE(viewStyle & LVS_SHOWSELALWAYS);
    EXPECT_TRUE(viewStyle & LVS_NOCOLUMNHEADER);
    EXPECT_TRUE(GetWindowLongPtrW(checked, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_TRUE(SendMessageW(checked, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_CHECKBOXES);
    EXPECT_EQ(SendMessageW(checked, LVM_GETCOLUMNWIDTH, 0, 0), Scaled(285, window));
    HWND plain = Handle(ui(), 10);
    EXPECT_FALSE(GetWindowLongPtrW(plain, GWL_STYLE) & LVS_NOCOLUMNHEADER);
    EXPECT_FALSE(SendMessageW(plain, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_CHECKBOXES);
    EXPECT_EQ(ui().GetText(10), "Path");

    HWND progress = Handle(ui(), 6);
    PBRANGE range{};
    SendMessageW(progress, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 100);
    EXPECT_EQ(ui().GetState(6), 0);

    // Tab follows the layout from top to bottom, whatever the creation order.
    std::vector<int> order;
    HWND from = nullptr;
    for (int i = 0; i < 8; ++i) {
        from = GetNextDlgTabItem(window, from, FALSE);
        if (!from || (!order.empty() && GetDlgCtrlID(from) == order.front()))
            break;
        order.push_back(GetDlgCtrlID(from));
    }
    EXPECT_EQ(order, (std::vector<int>{1, 5, 9, 10, 15, 2}));

    // A number used again replaces the old control.
    ASSERT_NE(ui().ButtonGadget(2, 4, 370, 128, 20, "Again"), 0);
    HWND buttons = nullptr;
    int count = 0;
    while ((buttons = FindWindowExW(window, buttons, L"Button", nullptr)) != nullptr)
        ++count;
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ui().GetText(2), "Again");
}

TEST_F(Win32ToolkitTest, TextListKeepsTheLastLineInViewAndItsScrollWidth) {
    ASSERT_NE(ui().OpenWindow(1, 0, 0, 400, 325, "Status", kMainFlags), 0);
    ASSERT_NE(ui().TextListGadget(5, 5, 5, 390, 100), 0);
    HWND list = Handle(ui(), 5);

    for (int i = 0; i < 40; ++i) {
        ASSERT_NE(ui().AddItem(5, -1, "line " + std::to_string(i)), 0);
        ui().SetState(5, ui().CountItems(5) - 1);
        ui().SetState(5, -1);
    }
    // Lines added one after another are drawn together a moment later.
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return (GetWindowLongPtrW(list, GWL_STYLE) & WS_VSCROLL) != 0; }, 2000));
    EXPECT_EQ(ui().CountItems(5), 40);
    EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_EQ(ui().GetState(5), -1);
    EXPECT_EQ(ui().GetText(5), "");
    RECT client{}, last{};
    GetClientRect(list, &client);
    SendMessageW(list, LB_GETITEMRECT, 39, reinterpret_cast<LPARAM>(&last));
    EXPECT_GT(SendMessageW(list, LB_GETTOPINDEX, 0, 0), 0);
    EXPECT_TRUE(GetWindowLongPtrW(list, GWL_STYLE) & WS_VSCROLL);
    EXPECT_GE(last.top, client.top);
    EXPECT_LE(last.bottom, client.bottom);

    // Insertion at a position, appending past the end, and UTF-8 both ways.
    ASSERT_NE(ui().AddItem(5, 0, "first \xc3\xa4\xc3\xb6\xc3\xbc \xe2\x9c\x93"), 0);
    ASSERT_NE(ui().AddItem(5, 1000, "appended"), 0);
    EXPECT_EQ(ui().GetItemText(5, 0), "first \xc3\xa4\xc3\xb6\xc3\xbc \xe2\x9c\x93");
    EXPECT_EQ(ui().GetItemText(5, 41), "appended");
    ui().SetState(5, 0);
    EXPECT_EQ(ui().GetText(5), "first \xc3\xa4\xc3\xb6\xc3\xbc \xe2\x9c\x93");
    ui().SetState(5, 500);
    EXPECT_EQ(ui().GetState(5), -1);

    // A line wider than the list makes it scroll sideways; clearing resets that.
    EXPECT_LT(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0), client.right);
    ASSERT_NE(ui().AddItem(5, -1, std::string(300, 'W')), 0);
    EXPECT_GT(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0), client.right);
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return (GetWindowLongPtrW(list, GWL_STYLE) & WS_HSCROLL) != 0; }, 2000));
    ASSERT_NE(ui().ClearItems(5), 0);
    EXPECT_EQ(ui().CountItems(5), 0);
    EXPECT_EQ(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0), 0);
}

TEST_F(Win32ToolkitTest, DropDownTextFieldProgressAndReportListOperations) {
    ASSERT_NE(ui().OpenWindow(2, 0, 0, 300, 400, "Files", kDialogFlags), 0);
    ASSERT_NE(ui().DropDownGadget(16, 70, 5, 225, 20), 0);
    ASSERT_NE(ui().TextFieldGadget(15, 70, 30, 225, 20, "h\xc3\xb6st"), 0);
    ASSERT_NE(ui().ProgressBarGadget(6, 5, 55, 290, 20, 0, 100), 0);
    ASSERT_NE(ui().ReportListGadget(9, 5, 80, 290, 150, "", 285, kReportNoHeader | kReportCheckBoxes), 0);

    // Drop-down: nothing selected at first, then entries by index.
    EXPECT_EQ(ui().GetState(16), -1);
    EXPECT_EQ(ui().GetText(16), "");
    ASSERT_NE(ui().AddItem(16, -1, "Deutsch"), 0);
    ASSERT_NE(ui().AddItem(16, -1, "English"), 0);
    ASSERT_NE(ui().AddItem(16, -1, "Suomi"), 0);
    EXPECT_EQ(ui().CountItems(16), 3);
    EXPECT_EQ(ui().GetState(16), -1);
    ui().SetState(16, 2);
    EXPECT_EQ(ui().GetState(16), 2);
    EXPECT_EQ(ui().GetText(16), "Suomi");
    EXPECT_EQ(TextOf(Handle(ui(), 16)), L"Suomi");
    ui().SetState(16, -1);
    EXPECT_EQ(ui().GetText(16), "");
    ui().SetState(16, 0);
    ASSERT_NE(ui().ClearItems(16), 0);
    EXPECT_EQ(ui().CountItems(16), 0);
    EXPECT_EQ(ui().GetState(16), -1);
    EXPECT_EQ(ui().GetText(16), "");

    // Text field: the text as it stands, also after the user typed.
    EXPECT_EQ(ui().GetText(15), "h\xc3\xb6st");
    SetWindowTextW(Handle(ui(), 15), L" other.host \u00e5 ");
    EXPECT_EQ(ui().GetText(15), " other.host \xc3\xa5 ");

    // Progress bar position.
    EXPECT_NE(ui().SetState(6, 42), 0);
    EXPECT_EQ(ui().GetState(6), 42);
    ui().SetState(6, 100);
    EXPECT_EQ(ui().GetState(6), 100);

    // Report list: check marks and the highlighted row as bits 2 and 1.
    for (const char* path : {"data/a.pak", "data/b.pak", "bin/Update.exe"})
        ASSERT_NE(ui().AddItem(9, -1, path), 0);
    EXPECT_EQ(ui().CountItems(9), 3);
    EXPECT_EQ(ui().GetItemText(9, 2), "bin/Update.exe");
    EXPECT_EQ(ui().GetItemText(9, 3), "");
    EXPECT_EQ(ui().GetItemState(9, 0), 0);
    ASSERT_NE(ui().SetItemState(9, 0, kItemChecked), 0);
    ASSERT_NE(ui().SetItemState(9, 2, kItemChecked), 0);
    EXPECT_EQ(ui().GetItemState(9, 0), kItemChecked);
    EXPECT_EQ(ui().GetItemState(9, 1), 0);
    EXPECT_EQ(ListView_GetCheckState(Handle(ui(), 9), 2), TRUE);

    // The user highlights rows and clears a box as a mouse would.
    HWND view = Handle(ui(), 9);
    ListView_SetItemState(view, 1, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(ui().GetItemState(9, 1), kItemSelected);
    EXPECT_EQ(ui().GetState(9), 1);
    ListView_SetItemState(view, 2, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(ui().GetItemState(9, 2), kItemSelected | kItemChecked);
    EXPECT_EQ(ui().GetItemState(9, 1), 0);
    ListView_SetCheckState(view, 2, FALSE);
    EXPECT_EQ(ui().GetItemState(9, 2), kItemSelected);
    // Setting 2 checks the box and leaves the row unselected.
    ASSERT_NE(ui().SetItemState(9, 2, kItemChecked), 0);
    EXPECT_EQ(ui().GetItemState(9, 2), kItemChecked);
    EXPECT_EQ(ui().GetItemState(9, 5), 0);
    EXPECT_EQ(ui().SetItemState(9, -1, kItemChecked), 0);

    // The column fills the list's width.
    ASSERT_NE(ui().FitColumn(9), 0);
    RECT client{};
    GetClientRect(view, &client);
    EXPECT_EQ(SendMessageW(view, LVM_GETCOLUMNWIDTH, 0, 0), client.right);
    // As the program does it, through the native handle.
    SendMessageW(view, LVM_SETCOLUMNWIDTH, 0, 40);
    SendMessageW(static_cast<HWND>(ui().NativeHandle(9)), LVM_SETCOLUMNWIDTH, 0, LVSCW_AUTOSIZE_USEHEADER);
    EXPECT_EQ(SendMessageW(view, LVM_GETCOLUMNWIDTH, 0, 0), client.right);

    ASSERT_NE(ui().ClearItems(9), 0);
    EXPECT_EQ(ui().CountItems(9), 0);

    // Disabling and enabling; unknown numbers do nothing.
    EXPECT_NE(ui().DisableGadget(16, 1), 0);
    EXPECT_FALSE(IsWindowEnabled(Handle(ui(), 16)));
    EXPECT_NE(ui().DisableGadget(16, 0), 0);
    EXPECT_TRUE(IsWindowEnabled(Handle(ui(), 16)));
    EXPECT_EQ(ui().AddItem(99, -1, "x"), 0);
    EXPECT_EQ(ui().CountItems(99), 0);
    EXPECT_EQ(ui().SetState(99, 1), 0);
    EXPECT_EQ(ui().GetState(99), 0);
    EXPECT_EQ(ui().GetItemState(99, 0), 0);
    EXPECT_EQ(ui().FitColumn(15), 0);
    EXPECT_EQ(ui().NativeHandle(99), nullptr);
}

// The list view draws rows that the toolkit holds; the check marks are the
// toolkit's too, also when the user changes them.
TEST_F(Win32ToolkitTest, ManyReportRowsWithCheckBoxesTheUserToggles) {
    ASSERT_NE(ui().OpenWindow(2, 0, 0, 300, 400, "Files", kDialogFlags), 0);
    ASSERT_NE(ui().ReportListGadget(9, 5, 25, 290, 170, "", 285, kReportNoHeader | kReportCheckBoxes), 0);
    constexpr int kRows = 5000;
    auto path = [](int i) {
        return (i % 1000 == 500 ? "music/track" : "data/file") + std::to_string(i) +
               (i % 1000 == 500 ? ".ogg" : ".pak");
    };
    for (int i = 0; i < kRows; ++i) {
        ASSERT_NE(ui().AddItem(9, -1, path(i)), 0);
        if (i % 3 != 0) {
            ASSERT_NE(ui().SetItemState(9, ui().CountItems(9) - 1, kItemChecked), 0);
        }
    }
    EXPECT_EQ(ui().CountItems(9), kRows);
    EXPECT_EQ(ui().GetItemText(9, kRows - 1), path(kRows - 1));
    EXPECT_EQ(ui().GetItemState(9, 3), 0);
    EXPECT_EQ(ui().GetItemState(9, 4), kItemChecked);
    ASSERT_NE(ui().FitColumn(9), 0);
    HWND view = Handle(ui(), 9);
    EXPECT_EQ(ListView_GetItemCount(view), kRows);
    EXPECT_TRUE(GetWindowLongPtrW(view, GWL_STYLE) & LVS_OWNERDATA);
    RECT client{};
    GetClientRect(view, &client);
    EXPECT_EQ(SendMessageW(view, LVM_GETCOLUMNWIDTH, 0, 0), client.right);

    // A click on the box of the last row clears it, leaves the row unhighlighted
    // and is reported; a second click sets it again.
    ListView_EnsureVisible(view, kRows - 1, FALSE);
    // Scrolled and painted before the list view is asked where the box is.
    PumpUntil(
        ui(), [] { return false; }, 100);
    const POINT box = CheckBoxOf(view, kRows - 1);
    ASSERT_GE(box.x, 0);
    std::vector<SeenEvent> seen;
    PostClick(view, box);
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return ui().GetItemState(9, kRows - 1) == 0; }, 2000, &seen));
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().gadget, 9);
    EXPECT_EQ(seen.back().type, kWin32EventSelect);
    PostClick(view, box);
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return ui().GetItemState(9, kRows - 1) == kItemChecked; }, 2000));
    EXPECT_EQ(ListView_GetCheckState(view, kRows - 1), TRUE);

    // The space bar toggles the box of the highlighted row, which stays highlighted.
    ASSERT_NE(ui().SetItemState(9, kRows - 3, kItemSelected), 0);
    SetFocus(view);
    PostMessageW(view, WM_KEYDOWN, VK_SPACE, 0);
    PostMessageW(view, WM_CHAR, L' ', 1);
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return ui().GetItemState(9, kRows - 3) == (kItemSelected | kItemChecked); }, 2000));
    PostMessageW(view, WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return ui().GetItemState(9, kRows - 3) == kItemSelected; }, 2000));
    EXPECT_EQ(ui().GetState(9), kRows - 3);

    // Typing jumps to the next row that begins with the letters typed.
    PostMessageW(view, WM_CHAR, L'm', 1);
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return ui().GetState(9) == 500; }, 2000));
    // A row inserted above the highlighted one moves the highlight along with its row.
    ASSERT_NE(ui().AddItem(9, 0, "Update.exe"), 0);
    EXPECT_EQ(ui().GetState(9), 501);
    EXPECT_EQ(ui().GetItemText(9, 501), path(500));
    EXPECT_EQ(ui().GetItemState(9, 0), 0);
    EXPECT_EQ(ui().GetItemState(9, 5), kItemChecked);
    EXPECT_EQ(ListView_GetItemCount(view), kRows + 1);
}

TEST_F(Win32ToolkitTest, ClicksCloseBoxesAndKeysBecomeEvents) {
    ASSERT_NE(ui().OpenWindow(1, 0, 0, 400, 325, "Main", kMainFlags), 0);
    ASSERT_NE(ui().ButtonGadget(2, 4, 300, 128, 20, "Update"), 0);
    ASSERT_NE(ui().ButtonGadget(4, 268, 300, 128, 20, "Options"), 0);
    ASSERT_NE(ui().TextListGadget(5, 5, 5, 390, 265), 0);
    HWND main = TopLevel(ui(), 2);
    EXPECT_EQ(NextEvent(ui(), 100).code, kEventNone);

    // A real click on the button.
    PostMessageW(Handle(ui(), 4), BM_CLICK, 0, 0);
    SeenEvent click = NextEvent(ui(), 2000);
    EXPECT_EQ(click.code, kEventGadget);
    EXPECT_EQ(click.gadget, 4);
    EXPECT_EQ(click.type, 0);
    EXPECT_EQ(click.window, 1);

    // A disabled button, or a button in a disabled window, raises nothing.
    ui().DisableGadget(2, 1);
    PostMessageW(Handle(ui(), 2), BM_CLICK, 0, 0);
    EXPECT_EQ(NextEvent(ui(), 200).code, kEventNone);
    ui().DisableGadget(2, 0);
    ui().DisableWindow(1, 1);
    PostMessageW(Handle(ui(), 2), BM_CLICK, 0, 0);
    EXPECT_EQ(NextEvent(ui(), 200).code, kEventNone);
    ui().DisableWindow(1, 0);

    // The close box only reports; the window stays.
    PostMessageW(main, WM_CLOSE, 0, 0);
    SeenEvent close = NextEvent(ui(), 2000);
    EXPECT_EQ(close.code, kEventClose);
    EXPECT_EQ(close.window, 1);
    EXPECT_TRUE(IsWindow(main));
    PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(NextEvent(ui(), 2000).code, kEventClose);
    EXPECT_TRUE(IsWindow(main));

    // A line picked by the user is a gadget event of another type, never a click.
    ui().AddItem(5, -1, "one");
    ui().AddItem(5, -1, "two");
    HWND list = Handle(ui(), 5);
    SendMessageW(list, LB_SETCURSEL, 1, 0);
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(5, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    SeenEvent pick = NextEvent(ui(), 2000);
    EXPECT_EQ(pick.code, kEventGadget);
    EXPECT_EQ(pick.gadget, 5);
    EXPECT_EQ(pick.type, kWin32EventSelect);

    // Escape: nothing without a cancel gadget, then the cancel gadget's click.
    ASSERT_NE(ui().OpenWindow(3, 0, 0, 300, 80, "Options", kDialogFlags), 0);
    ASSERT_NE(ui().ButtonGadget(11, 4, 55, 145, 20, "Save"), 0);
    ASSERT_NE(ui().ButtonGadget(12, 152, 55, 145, 20, "Cancel"), 0);
    ASSERT_NE(ui().TextFieldGadget(15, 70, 30, 225, 20, "host"), 0);
    HWND field = Handle(ui(), 15);
    PostMessageW(field, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_EQ(NextEvent(ui(), 200).code, kEventNone);
    ui().SetCancelGadget(3, 12);
    PostMessageW(field, WM_KEYDOWN, VK_ESCAPE, 0);
    SeenEvent escape = NextEvent(ui(), 2000);
    EXPECT_EQ(escape.code, kEventGadget);
    EXPECT_EQ(escape.gadget, 12);
    EXPECT_EQ(escape.type, 0);
    EXPECT_EQ(escape.window, 3);
    // Enter in the field presses nothing (gadget 1 or 2 must not be clicked by it).
    PostMessageW(field, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(NextEvent(ui(), 200).code, kEventNone);

    // Tab moves the focus through the window's controls in layout order.
    HWND save = Handle(ui(), 11);
    HWND cancel = Handle(ui(), 12);
    SetFocus(field);
    PostMessageW(field, WM_KEYDOWN, VK_TAB, 0);
    ASSERT_TRUE(PumpUntil(
        ui(), [&] { return GetFocus() == save; }, 2000));
    PostMessageW(save, WM_KEYDOWN, VK_TAB, 0);
    ASSERT_TRUE(PumpUntil(
        ui(), [&] { return GetFocus() == cancel; }, 2000));
    // Enter on a focused button presses it.
    PostMessageW(cancel, WM_KEYDOWN, VK_RETURN, 0);
    SeenEvent enter = NextEvent(ui(), 2000);
    EXPECT_EQ(enter.code, kEventGadget);
    EXPECT_EQ(enter.gadget, 12);

    // Disabling the focused control hands the focus on instead of losing it.
    ui().DisableGadget(12, 1);
    EXPECT_NE(GetFocus(), cancel);
    EXPECT_NE(GetFocus(), nullptr);

    // Events of a window closed before they were fetched are dropped with it.
    PostMessageW(save, BM_CLICK, 0, 0);
    PumpUntil(
        ui(), [] { return false; }, 0);
    ui().CloseWindow(3);
    EXPECT_EQ(NextEvent(ui(), 200).code, kEventNone);
}

TEST_F(Win32ToolkitTest, CallsFromAWorkerTakeEffectOnTheWindowsOfTheLoop) {
    ASSERT_NE(ui().OpenWindow(1, 0, 0, 400, 325, "Main", kMainFlags), 0);
    ASSERT_NE(ui().ButtonGadget(2, 4, 300, 128, 20, "Update"), 0);
    ASSERT_NE(ui().TextListGadget(5, 5, 5, 390, 265), 0);
    ASSERT_NE(ui().ProgressBarGadget(6, 5, 275, 390, 20, 0, 100), 0);
    const DWORD loopThread = GetCurrentThreadId();

    constexpr int kLines = 150;
    std::atomic<bool> done{false};
    std::atomic<int> ranElsewhere{0};
    std::atomic<int> countsSeen{0};
    // One worker writes its lines as one unit of three calls, the other appends them
    // (which need not wait for the loop): every later call still finds them there.
    std::atomic<int> linesMissed{0};
    auto worker = [&](int first) {
        for (int i = first; i < kLines; i += 2) {
            if (first == 0) {
                ui().RunAtomically([&, i] {
                    if (GetCurrentThreadId() != loopThread)
                        ranElsewhere.fetch_add(1);
                    ui().AddItem(5, -1, "line " + std::to_string(i));
                    ui().SetState(5, ui().CountItems(5) - 1);
                    ui().SetState(5, -1);
                });
            } else {
                ui().AppendLine(5, "line " + std::to_string(i));
            }
            const int count = ui().CountItems(5);
            bool found = false;
            for (int row = count - 1; row >= 0 && !found; --row)
                found = ui().GetItemText(5, row) == "line " + std::to_string(i);
            if (!found)
                linesMissed.fetch_add(1);
            countsSeen.store(count);
            ui().SetState(6, i * 100 / kLines);
        }
    };
    std::thread a([&] {
        worker(0);
        ui().DisableGadget(2, 1);
        done.store(true);
    });
    std::thread b([&] { worker(1); });
    bool finished = PumpUntil(
        ui(), [&] { return done.load() && countsSeen.load() >= kLines; }, 30000);
    // The second worker may still wait for the loop to carry out its last call.
    PumpUntil(
        ui(), [&] { return ui().CountItems(5) == kLines; }, 5000);
    a.join();
    b.join();
    ASSERT_TRUE(finished);

    EXPECT_EQ(ranElsewhere.load(), 0);
    EXPECT_EQ(linesMissed.load(), 0);
    EXPECT_EQ(ui().CountItems(5), kLines);
    EXPECT_EQ(SendMessageW(Handle(ui(), 5), LB_GETCOUNT, 0, 0), kLines);
    // Each worker's lines arrive whole and in its own order.
    std::vector<int> order[2];
    for (int row = 0; row < kLines; ++row) {
        std::string line = ui().GetItemText(5, row);
        ASSERT_EQ(line.rfind("line ", 0), 0u) << line;
        int n = std::stoi(line.substr(5));
        order[n % 2].push_back(n);
    }
    for (auto& lines : order) {
        EXPECT_EQ(lines.size(), static_cast<size_t>(kLines / 2));
        EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
    }
    // The list is drawn with its last line in view once the loop has run.
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return LastLineInView(Handle(ui(), 5)); }, 2000));
    EXPECT_FALSE(IsWindowEnabled(Handle(ui(), 2)));
    EXPECT_GT(ui().GetState(6), 90);
    EXPECT_EQ(SendMessageW(Handle(ui(), 5), LB_GETCURSEL, 0, 0), LB_ERR);
}

TEST_F(Win32ToolkitTest, AWorkersMessageBoxBlocksOnlyTheWorker) {
    ASSERT_NE(ui().OpenWindow(1, 0, 0, 400, 325, "Main", kMainFlags), 0);
    ASSERT_NE(ui().ButtonGadget(2, 4, 300, 128, 20, "Update"), 0);
    ASSERT_NE(ui().TextListGadget(5, 5, 5, 390, 265), 0);
    HWND main = TopLevel(ui(), 2);
    SetForegroundWindow(main);
    PumpUntil(
        ui(), [&] { return GetForegroundWindow() == main; }, 2000);

    std::atomic<int> result{-1};
    std::atomic<bool> shown{false};
    std::thread worker([&] {
        result.store(ui().ShowMessage("Fehler", "Keine Verbindung zu \xc3\xa4.example", kMessageWarning));
        ui().AddItem(5, -1, "after the box");
    });

    HWND box = nullptr;
    std::wstring boxText;
    HWND owner = nullptr;
    std::thread dismisser([&] {
        box = WaitForDialog(L"Fehler", 10000);
        if (!box)
            return;
        shown.store(true);
        wchar_t text[256] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 256);
        boxText = text;
        owner = GetWindow(box, GW_OWNER);
        // The loop keeps running while the box is open.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ui().AddItem(5, -1, "while the box is open");
        HWND ok = FindWindowExW(box, nullptr, L"Button", nullptr);
        PostMessageW(ok, BM_CLICK, 0, 0);
    });

    int passes = 0;
    bool ended = PumpUntil(
        ui(),
        [&] {
            ++passes;
            return result.load() != -1 && ui().CountItems(5) == 2;
        },
        20000);
    dismisser.join();
    worker.join();
    ASSERT_TRUE(shown.load());
    ASSERT_TRUE(ended);
    EXPECT_EQ(result.load(), IDOK);
    EXPECT_EQ(boxText, L"Keine Verbindung zu \u00e4.example");
    EXPECT_EQ(owner, main);
    EXPECT_GT(passes, 10);
    EXPECT_EQ(ui().GetItemText(5, 0), "while the box is open");
    EXPECT_EQ(ui().GetItemText(5, 1), "after the box");
    // The toolkit is still whole: events arrive and the window is enabled again.
    EXPECT_TRUE(IsWindowEnabled(main));
    PostMessageW(Handle(ui(), 2), BM_CLICK, 0, 0);
    EXPECT_EQ(NextEvent(ui(), 2000).gadget, 2);
}

// The text of the folder browser's selected tree item. The browser fills its tree after
// it appears, so the initial (or a newly set) selection arrives some time later.
std::wstring SelectedTreeText(HWND dialog) {
    HWND tree = nullptr;
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM found) -> BOOL {
            wchar_t name[64] = {};
            GetClassNameW(child, name, 64);
            if (std::wstring(name) != WC_TREEVIEWW)
                return TRUE;
            *reinterpret_cast<HWND*>(found) = child;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&tree));
    if (!tree)
        return {};
    auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    wchar_t text[MAX_PATH] = {};
    TVITEMW query{};
    query.mask = TVIF_TEXT;
    query.hItem = item;
    query.pszText = text;
    query.cchTextMax = MAX_PATH;
    if (!item || !SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&query)))
        return {};
    return text;
}

bool WaitForTreeSelection(HWND dialog, const std::wstring& leaf, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (SelectedTreeText(dialog).find(leaf) == std::wstring::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

TEST_F(Win32ToolkitTest, FolderRequesterReturnsTheChosenFolderWithABackslash) {
    test::TempDir temp;
    std::string folder = temp.path();
    while (!folder.empty() && folder.back() == '\\')
        folder.pop_back();
    std::string sub = folder + "\\Spiele \xc3\xa4";
    ASSERT_TRUE(CreateDirectoryW(Wide(sub).c_str(), nullptr));

    ASSERT_NE(ui().OpenWindow(1, 0, 0, 400, 325, "Main", kMainFlags), 0);
    ASSERT_NE(ui().ButtonGadget(2, 4, 300, 128, 20, "Install"), 0);
    HWND main = TopLevel(ui(), 2);

    // `act` runs on a helper thread against the open browser.
    auto browse = [&](const std::string& initial, const std::function<void(HWND)>& act) {
        HWND seenOwner = nullptr;
        std::thread helper([&] {
            HWND dialog = WaitForDialog(L"", 10000);
            if (!dialog)
                return;
            seenOwner = GetWindow(dialog, GW_OWNER);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            act(dialog);
        });
        std::string chosen = ui().FolderRequester("Install to", initial);
        helper.join();
        EXPECT_EQ(seenOwner, main);
        return chosen;
    };
    auto pressOk = [](HWND dialog) { PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); };
    const std::wstring folderLeaf = Wide(folder.substr(folder.find_last_of('\\') + 1));

    // Opened at the initial folder: OK returns it.
    EXPECT_EQ(browse(folder + "\\",
                     [&](HWND dialog) {
                         EXPECT_TRUE(WaitForTreeSelection(dialog, folderLeaf, 10000));
                         pressOk(dialog);
                     }),
              folder + "\\");
    // Another folder selected in the tree.
    std::wstring target = Wide(sub);
    EXPECT_EQ(browse(folder + "\\",
                     [&](HWND dialog) {
                         EXPECT_TRUE(WaitForTreeSelection(dialog, folderLeaf, 10000));
                         for (int attempt = 0; attempt < 20; ++attempt) {
                             SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(target.c_str()));
                             if (WaitForTreeSelection(dialog, L"Spiele \u00e4", 500))
                                 break;
                         }
                         pressOk(dialog);
                     }),
              sub + "\\");
    // A drive root keeps its one backslash.
    EXPECT_EQ(browse("C:\\", pressOk), "C:\\");
    // Cancel gives the empty text.
    EXPECT_EQ(browse(folder + "\\",
                     [](HWND dialog) { PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); }),
              "");
}

// --- the end-to-end driver, a separate process acting on these windows ---

struct DriverResult {
    int exitCode = -1;
    std::string output;
};

class DriverProcess {
  public:
    explicit DriverProcess(const std::vector<std::string>& args) {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring path = self;
        path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"..\\e2e\\zefo_driver.exe";
        std::wstring command = L"\"" + path + L"\"";
        for (const std::string& arg : args)
            command += L" \"" + Wide(arg) + L"\"";

        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE write = nullptr;
        if (!CreatePipe(&read_, &write, &inherit, 0))
            return;
        SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION info{};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
            process_ = info.hProcess;
            CloseHandle(info.hThread);
        }
        CloseHandle(write);
        reader_ = std::thread([this] {
            char buffer[4096];
            DWORD got = 0;
            while (ReadFile(read_, buffer, sizeof(buffer), &got, nullptr) && got > 0)
                output_.append(buffer, got);
        });
    }
    ~DriverProcess() {
        if (process_) {
            TerminateProcess(process_, 99);
            CloseHandle(process_);
        }
        if (reader_.joinable())
            reader_.join();
        if (read_)
            CloseHandle(read_);
    }
    DriverProcess(const DriverProcess&) = delete;
    DriverProcess& operator=(const DriverProcess&) = delete;

    // Runs the event loop until the driver has ended (at most 30 s).
    DriverResult Finish(Toolkit& ui, std::vector<SeenEvent>* seen = nullptr) {
        DriverResult result;
        if (!process_)
            return result;
        PumpUntil(
            ui, [this] { return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }, 30000, seen);
        if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0)
            return result;
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        CloseHandle(process_);
        process_ = nullptr;
        reader_.join();
        result.exitCode = static_cast<int>(code);
        result.output = output_;
        return result;
    }

  private:
    HANDLE process_ = nullptr;
    HANDLE read_ = nullptr;
    std::thread reader_;
    std::string output_;
};

DriverResult Drive(Toolkit& ui, const std::vector<std::string>& args, std::vector<SeenEvent>* seen = nullptr) {
    DriverProcess driver(args);
    return driver.Finish(ui, seen);
}

bool HasEvent(const std::vector<SeenEvent>& seen, int code, int gadget, int type, int window) {
    for (const SeenEvent& e : seen) {
        if (e.code == code && e.gadget == gadget && e.type == type && e.window == window)
            return true;
    }
    return false;
}

TEST_F(Win32ToolkitTest, TheDriverReadsAndOperatesTheWindowsFromAnotherProcess) {
    ASSERT_NE(ui().OpenWindow(1, 0, 0, 400, 325, "Zefo Installer", kMainFlags), 0);
    ui().DropDownGadget(1, 5, 5, 390, 20);
    ui().ButtonGadget(2, 4, 300, 194, 20, "Install");
    ui().ButtonGadget(4, 202, 300, 194, 20, "Options");
    ui().ProgressBarGadget(6, 5, 275, 390, 20, 0, 100);
    ui().TextListGadget(5, 5, 30, 390, 240);
    ui().AddItem(1, -1, "Orbital Drift");
    ui().AddItem(1, -1, "Nebula R\xc3\xa4\x63\x65rs");
    ui().SetState(1, 0);
    ui().AddItem(5, -1, "Install a game");
    ui().AddItem(5, -1, "Games loaded");
    ui().SetState(6, 40);

    DriverResult r = Drive(ui(), {"windows"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("\t1\tZefo Installer\n"), std::string::npos) << r.output;

    r = Drive(ui(), {"controls", "Zefo Installer"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("2\tButton\t1\t1\tInstall\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("5\tListBox\t1\t1\t\n"), std::string::npos) << r.output;

    r = Drive(ui(), {"lines", "Zefo Installer", "5"});
    EXPECT_EQ(r.output, "Install a game\nGames loaded\n");
    r = Drive(ui(), {"combo", "Zefo Installer", "1"});
    EXPECT_EQ(r.output, "0\n0\tOrbital Drift\n1\tNebula R\xc3\xa4\x63\x65rs\n");
    r = Drive(ui(), {"text", "Zefo Installer", "1"});
    EXPECT_EQ(r.output, "Orbital Drift\n");
    r = Drive(ui(), {"progress", "Zefo Installer", "6"});
    EXPECT_EQ(r.output, "40\n");
    r = Drive(ui(), {"lines", "Nowhere", "5"});
    EXPECT_EQ(r.exitCode, 1);

    // Operating: pick, click, close; a disabled button cannot be clicked.
    std::vector<SeenEvent> seen;
    r = Drive(ui(), {"pick", "Zefo Installer", "1", "=Nebula R\xc3\xa4\x63\x65rs"}, &seen);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ui().GetState(1), 1);
    EXPECT_TRUE(HasEvent(seen, kEventGadget, 1, kWin32EventSelect, 1));
    seen.clear();
    r = Drive(ui(), {"click", "Zefo Installer", "2"}, &seen);
    EXPECT_EQ(r.exitCode, 0);
    PumpUntil(
        ui(), [&] { return !seen.empty(); }, 2000, &seen);
    EXPECT_TRUE(HasEvent(seen, kEventGadget, 2, 0, 1));
    ui().DisableGadget(4, 1);
    seen.clear();
    r = Drive(ui(), {"click", "Zefo Installer", "4"}, &seen);
    EXPECT_EQ(r.exitCode, 1);
    r = Drive(ui(), {"enabled", "Zefo Installer", "4"});
    EXPECT_EQ(r.output, "0\n");
    r = Drive(ui(), {"close", "Zefo Installer"}, &seen);
    EXPECT_EQ(r.exitCode, 0);
    PumpUntil(
        ui(), [&] { return !seen.empty(); }, 2000, &seen);
    EXPECT_TRUE(HasEvent(seen, kEventClose, 0, 0, 1));
    EXPECT_FALSE(HasEvent(seen, kEventGadget, 4, 0, 1));

    // Waiting for a status line that a worker writes later, and for a button.
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ui().AddItem(5, -1, "Game installed (0 failed)");
        ui().DisableGadget(4, 0);
    });
    r = Drive(ui(), {"wait-line", "Zefo Installer", "5", "installed", "10000"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "Game installed (0 failed)\n");
    r = Drive(ui(), {"wait-enabled", "Zefo Installer", "4", "1", "10000"});
    EXPECT_EQ(r.exitCode, 0);
    writer.join();
    r = Drive(ui(), {"wait-line", "Zefo Installer", "5", "never", "300"});
    EXPECT_EQ(r.exitCode, 1);

    // Report list rows with check marks, read and changed through the program's memory.
    ASSERT_NE(ui().OpenWindow(2, 0, 0, 300, 400, "Files", kDialogFlags), 0);
    ui().ReportListGadget(9, 5, 25, 290, 170, "", 285, kReportNoHeader | kReportCheckBoxes);
    ui().TextFieldGadget(15, 5, 200, 200, 20, "");
    for (const char* path : {"Update.exe", "data/\xc3\xa4.pak", "music.ogg"}) {
        ui().AddItem(9, -1, path);
        ui().SetItemState(9, ui().CountItems(9) - 1, kItemChecked);
    }
    ui().SetItemState(9, 2, kItemSelected);
    r = Drive(ui(), {"rows", "Files", "9"});
    EXPECT_EQ(r.output, "1\t0\tUpdate.exe\n1\t0\tdata/\xc3\xa4.pak\n0\t1\tmusic.ogg\n");
    r = Drive(ui(), {"check", "Files", "9", "1", "0"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ui().GetItemState(9, 1), 0);
    r = Drive(ui(), {"check", "Files", "9", "2", "1"});
    EXPECT_EQ(ui().GetItemState(9, 2), kItemSelected | kItemChecked);
    r = Drive(ui(), {"type", "Files", "15", "server.\xc3\xa4.example"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ui().GetText(15), "server.\xc3\xa4.example");
    r = Drive(ui(), {"wait-window", "contains=File", "2000"});
    EXPECT_EQ(r.exitCode, 0);
    ui().CloseWindow(2);
    r = Drive(ui(), {"wait-gone", "Files", "2000"});
    EXPECT_EQ(r.exitCode, 0);

    // A worker's message box: read, then dismissed.
    std::atomic<int> answer{-1};
    std::thread worker([&] { answer.store(ui().ShowMessage("Error", "No connection to the server", 48)); });
    r = Drive(ui(), {"message", "10000"});
    EXPECT_EQ(r.output, "Error\nNo connection to the server\n");
    r = Drive(ui(), {"dismiss", "10000"});
    EXPECT_EQ(r.exitCode, 0);
    PumpUntil(
        ui(), [&] { return answer.load() != -1; }, 5000);
    worker.join();
    EXPECT_EQ(answer.load(), IDOK);

    // The folder browser: the driver picks a folder while the loop's thread waits in it.
    test::TempDir temp;
    std::string folder = temp.path();
    while (folder.back() == '\\')
        folder.pop_back();
    std::string target = folder + "\\Orbital Drift";
    ASSERT_TRUE(CreateDirectoryW(Wide(target).c_str(), nullptr));
    DriverProcess browse({"browse", target, "10000"});
    std::string chosen = ui().FolderRequester("Install to", "C:\\");
    DriverResult browsed = browse.Finish(ui());
    EXPECT_EQ(browsed.exitCode, 0);
    EXPECT_EQ(chosen, target + "\\");
}

// Not a check: opens the program's windows for a look (screenshots). Run with
// --gtest_also_run_disabled_tests; ZEFO_SAMPLE_SECONDS sets how long they stay.
TEST_F(Win32ToolkitTest, DISABLED_SampleWindows) {
    const char* seconds = std::getenv("ZEFO_SAMPLE_SECONDS");
    int stay = seconds ? std::atoi(seconds) : 30;
    ASSERT_NE(ui().OpenWindow(1, 0, 0, 400, 325, "Zefo Installer", kMainFlags), 0);
    ui().DropDownGadget(1, 5, 5, 390, 20);
    ui().ButtonGadget(2, 4, 300, 194, 20, "Install");
    ui().ButtonGadget(4, 202, 300, 194, 20, "Options");
    ui().ProgressBarGadget(6, 5, 275, 390, 20, 0, 100);
    ui().TextListGadget(5, 5, 30, 390, 240);
    for (const char* game : {"Orbital Drift", "Nebula Racers"})
        ui().AddItem(1, -1, game);
    ui().SetState(1, 0);
    for (const char* line : {"Install a game", "Games loaded", "Installing Orbital Drift",
                             "Loading file list of Orbital Drift", "Files loaded", "Loading data/levels/level01.pak",
                             "Loading data/levels/level02.pak with a long name that needs the sideways scroll bar"}) {
        ui().AddItem(5, -1, line);
        ui().SetState(5, ui().CountItems(5) - 1);
        ui().SetState(5, -1);
    }
    ui().SetState(6, 40);

    OpenWindow(ui(), optionsWindow, kOptionsWindow, "Options", kDialogFlags);
    Label(ui(), languageLabel, kLanguageLabel, "Language:");
    Label(ui(), serverLabel, kServerLabel, "Server:");
    Label(ui(), limitLabel, kLimitLabel, "Speed limit:");
    Button(ui(), saveButton, kSaveButton, "Save");
    Button(ui(), cancelButton, kCancelButton, "Cancel");
    DropDown(ui(), languageCombo, kLanguageCombo);
    TextField(ui(), serverField, kServerField, "updates.zefo.example");
    TextField(ui(), limitField, kLimitField, "500k");
    for (const char* language : {"Deutsch", "English", "Suomi"})
        ui().AddItem(languageCombo, -1, language);
    ui().SetState(languageCombo, 1);
    ui().SetCancelGadget(optionsWindow, cancelButton);

    ui().OpenWindow(2, 0, 0, 300, 400, "Files", kDialogFlags);
    ui().LabelGadget(7, 5, 5, 290, 20, "Files to update:");
    ui().LabelGadget(8, 5, 205, 290, 20, "Unchanged files:");
    ui().ReportListGadget(9, 5, 25, 290, 170, "", 285, kReportNoHeader | kReportCheckBoxes);
    ui().ReportListGadget(10, 5, 225, 290, 170, "", 285, kReportNoHeader);
    for (const char* path : {"Update.exe", "data/levels/level01.pak", "data/sound/music.ogg"}) {
        ui().AddItem(9, -1, path);
        ui().SetItemState(9, ui().CountItems(9) - 1, kItemChecked);
    }
    ui().SetItemState(9, 2, 0);
    // As many rows as a large game lists.
    for (int i = 0; i < 20000; ++i) {
        ui().AddItem(9, -1, "data/levels/level" + std::to_string(i) + ".pak");
        ui().SetItemState(9, ui().CountItems(9) - 1, i % 7 ? kItemChecked : 0);
    }
    for (const char* path : {"game.exe", "data/textures.pak"})
        ui().AddItem(10, -1, path);
    ui().FitColumn(9);
    ui().FitColumn(10);

    // Side by side on the screen for one picture.
    HWND files = TopLevel(ui(), 9);
    HWND options = TopLevel(ui(), 11);
    HWND main = TopLevel(ui(), 2);
    SetWindowPos(main, nullptr, 20, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SetWindowPos(options, nullptr, 460, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    SetWindowPos(files, nullptr, 460, 180, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(stay);
    PumpUntil(
        ui(), [&] { return std::chrono::steady_clock::now() > end; }, stay * 1000 + 1000);
}

}  // namespace
}  // namespace zefo::ui
