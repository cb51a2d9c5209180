// zefo_driver: acts on the running program from another process, for end-to-end
// tests. One command per run; results go to stdout as UTF-8 lines; the exit code
// is 0 on success, 1 when the command failed (not found, disabled, timed out) and
// 2 on a usage error.
//
// A window is named by a selector:
//   TEXT           a program window (class ZefoWindow) titled exactly TEXT
//   contains=TEXT  a program window whose title contains TEXT
//   title=TEXT     any visible top-level window titled exactly TEXT
//   class=NAME     the first visible top-level window of that class
// A control is named by its id, which is the program's gadget number. With
// "--desktop NAME" before the command the driver acts in that desktop (for a
// program started with "wine explorer /desktop=NAME,WxH").
//
// Commands (times in milliseconds, default 10000):
//   windows                            program windows: handle, enabled, title
//   wait-window WINDOW [ms]            until the window exists
//   wait-gone WINDOW [ms]              until it no longer exists
//   controls WINDOW                    id, class, enabled, visible, text of each control
//   text WINDOW ID                     a control's text (drop-down: the selected entry)
//   enabled WINDOW ID                  1 or 0
//   wait-enabled WINDOW ID 0|1 [ms]    until the control has that state
//   lines WINDOW ID                    the lines of a list box
//   wait-line WINDOW ID TEXT [ms]      until a list-box line contains TEXT
//   wait-last-line WINDOW ID TEXT [ms] until the list box's last line contains TEXT
//                                      (reads one line a look: for timing long runs)
//   combo WINDOW ID                    the selected index, then "index<TAB>entry" lines
//   progress WINDOW ID                 a progress bar's position
//   rows WINDOW ID                     list-view rows: "checked<TAB>selected<TAB>text"
//   click WINDOW ID                    presses a button (fails when it or its window is disabled)
//   close WINDOW                       the close box
//   pick WINDOW ID INDEX|=TEXT         picks a drop-down entry as the user does
//   check WINDOW ID ROW 0|1            clears or sets a list-view row's check box
//   type WINDOW ID TEXT                replaces an edit field's text
//   message [ms]                       waits for a message box of the program: title, then text
//   dismiss [ms]                       presses the message box's button
//   browse FOLDER [ms]                 in the open folder browser: selects FOLDER, then OK
//   trust PEMFILE                      adds the certificate to the machine's Root store
//   distrust PEMFILE                   removes it again
#include <windows.h>

#include <commctrl.h>
#include <shlobj.h>
#include <wincrypt.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kProgramClass[] = L"ZefoWindow";
constexpr UINT kSendTimeoutMs = 10000;
constexpr int kDefaultWaitMs = 10000;
constexpr size_t kMaxText = 32768;

// --- output and text ---

std::string Narrow(const std::wstring& text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX))
        return {};
    int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(std::max(length, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                        nullptr);
    return narrow;
}

void Print(const std::string& line) {
    std::string bytes = line + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Print(const std::wstring& line) {
    Print(Narrow(line));
}

int Fail(const std::string& why) {
    std::string bytes = "zefo_driver: " + why + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return 1;
}

std::wstring Hex(HWND window) {
    wchar_t text[32] = {};
    wsprintfW(text, L"0x%08IX", reinterpret_cast<ULONG_PTR>(window));
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

// --- talking to the program's windows ---

// SendMessage that gives up when the program hangs.
LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool* ok = nullptr) {
    DWORD_PTR result = 0;
    LRESULT sent = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
    if (ok)
        *ok = sent != 0;
    return static_cast<LRESULT>(result);
}

std::wstring TextOf(HWND window) {
    bool ok = false;
    LRESULT length = Send(window, WM_GETTEXTLENGTH, 0, 0, &ok);
    if (!ok || length <= 0 || static_cast<size_t>(length) > kMaxText)
        return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    LRESULT copied = Send(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::clamp<LRESULT>(copied, 0, length)));
    return text;
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// Memory in the program's process, for messages whose data the system does not
// carry across processes (list view items, folder browser paths).
class RemoteMemory {
  public:
    RemoteMemory(HWND owner, size_t size) : size_(size) {
        DWORD process = 0;
        GetWindowThreadProcessId(owner, &process);
        process_.reset(OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, process));
        if (process_)
            address_ = VirtualAllocEx(process_.get(), nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~RemoteMemory() {
        if (address_)
            VirtualFreeEx(process_.get(), address_, 0, MEM_RELEASE);
    }
    RemoteMemory(const RemoteMemory&) = delete;
    RemoteMemory& operator=(const RemoteMemory&) = delete;

    bool valid() const { return address_ != nullptr; }
    char* at(size_t offset) const { return static_cast<char*>(address_) + offset; }
    bool Write(size_t offset, const void* data, size_t size) const {
        return offset + size <= size_ && WriteProcessMemory(process_.get(), at(offset), data, size, nullptr);
    }
    bool Read(size_t offset, void* data, size_t size) const {
        return offset + size <= size_ && ReadProcessMemory(process_.get(), at(offset), data, size, nullptr);
    }

  private:
    UniqueHandle process_;
    void* address_ = nullptr;
    size_t size_;
};

// --- finding windows ---

struct TopLevel {
    HWND window;
    std::wstring className;
    std::wstring title;
};

std::vector<TopLevel> VisibleTopLevels() {
    std::vector<TopLevel> found;
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            if (IsWindowVisible(window))
                reinterpret_cast<std::vector<TopLevel>*>(param)->push_back({window, ClassOf(window), TextOf(window)});
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND FindTopLevel(const std::wstring& selector) {
    auto starts = [&selector](const wchar_t* prefix) { return selector.rfind(prefix, 0) == 0; };
    for (const TopLevel& top : VisibleTopLevels()) {
        bool program = top.className == kProgramClass;
        bool match = false;
        if (starts(L"class="))
            match = top.className == selector.substr(6);
        else if (starts(L"title="))
            match = top.title == selector.substr(6);
        else if (starts(L"contains="))
            match = program && top.title.find(selector.substr(9)) != std::wstring::npos;
        else
            match = program && top.title == selector;
        if (match)
            return top.window;
    }
    return nullptr;
}

// The process of the program, known by its windows.
DWORD ProgramProcess() {
    for (const TopLevel& top : VisibleTopLevels()) {
        if (top.className == kProgramClass) {
            DWORD process = 0;
            GetWindowThreadProcessId(top.window, &process);
            return process;
        }
    }
    return 0;
}

// A dialog (#32770) of the program that satisfies `accept`.
HWND FindProgramDialog(const std::function<bool(HWND)>& accept) {
    DWORD program = ProgramProcess();
    for (const TopLevel& top : VisibleTopLevels()) {
        DWORD process = 0;
        GetWindowThreadProcessId(top.window, &process);
        if (top.className == L"#32770" && (program == 0 || process == program) && accept(top.window))
            return top.window;
    }
    return nullptr;
}

bool IsMessageBox(HWND dialog) {
    HWND text = GetDlgItem(dialog, 0xFFFF);
    return text && ClassOf(text) == L"Static";
}

bool IsFolderBrowser(HWND dialog) {
    struct Search {
        bool found = false;
    } search;
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM param) -> BOOL {
            if (ClassOf(child) == WC_TREEVIEWW) {
                reinterpret_cast<Search*>(param)->found = true;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Polls `done` every 50 ms until it holds or `timeoutMs` has passed.
bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(std::max(timeoutMs, 0));
    for (;;) {
        if (done())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(50);
    }
}

// --- commands ---

struct Arguments {
    std::vector<std::wstring> words;
    size_t size() const { return words.size(); }
    const std::wstring& operator[](size_t i) const { return words[i]; }
    int Number(size_t i, int fallback) const {
        if (i >= words.size())
            return fallback;
        wchar_t* end = nullptr;
        long value = wcstol(words[i].c_str(), &end, 10);
        return end && *end == 0 && !words[i].empty() ? static_cast<int>(value) : fallback;
    }
};

class Driver {
  public:
    explicit Driver(Arguments args) : args_(std::move(args)) {}
    int Run();

  private:
    bool Window(size_t i) {
        window_ = FindTopLevel(args_[i]);
        if (!window_)
            error_ = "no window " + Narrow(args_[i]);
        return window_ != nullptr;
    }
    bool Control(size_t windowIndex, size_t idIndex) {
        if (!Window(windowIndex))
            return false;
        int id = args_.Number(idIndex, -1);
        control_ = id >= 0 ? GetDlgItem(window_, id) : nullptr;
        if (!control_)
            error_ = "no control " + Narrow(args_[idIndex]) + " in " + Narrow(args_[windowIndex]);
        return control_ != nullptr;
    }
    int Result(bool ok) { return ok ? 0 : Fail(error_.empty() ? "failed" : error_); }

    int Windows();
    int Controls();
    int Text();
    int Lines();
    int WaitLine();
    int WaitLastLine();
    int Combo();
    int Rows();
    int Click();
    int Pick();
    int Check();
    int Message(bool dismiss);
    int Browse();

    Arguments args_;
    HWND window_ = nullptr;
    HWND control_ = nullptr;
    std::string error_;
};

int Driver::Windows() {
    for (const TopLevel& top : VisibleTopLevels()) {
        if (top.className == kProgramClass)
            Print(Hex(top.window) + L"\t" + (IsWindowEnabled(top.window) ? L"1" : L"0") + L"\t" + top.title);
    }
    return 0;
}

int Driver::Controls() {
    if (!Window(1))
        return Result(false);
    for (HWND child = GetWindow(window_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        Print(std::to_wstring(GetDlgCtrlID(child)) + L"\t" + ClassOf(child) + L"\t" +
              (IsWindowEnabled(child) ? L"1" : L"0") + L"\t" + (IsWindowVisible(child) ? L"1" : L"0") + L"\t" +
              TextOf(child));
    }
    return 0;
}

// The lines of a list box from row `first` on.
std::vector<std::wstring> ListLines(HWND list, LRESULT first = 0) {
    std::vector<std::wstring> lines;
    LRESULT count = Send(list, LB_GETCOUNT, 0, 0);
    for (LRESULT row = first; row < count; ++row) {
        LRESULT length = Send(list, LB_GETTEXTLEN, static_cast<WPARAM>(row), 0);
        if (length < 0 || static_cast<size_t>(length) > kMaxText) {
            lines.emplace_back();
            continue;
        }
        std::wstring line(static_cast<size_t>(length) + 1, L'\0');
        LRESULT copied = Send(list, LB_GETTEXT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(line.data()));
        line.resize(static_cast<size_t>(std::clamp<LRESULT>(copied, 0, length)));
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::wstring> ComboEntries(HWND combo) {
    std::vector<std::wstring> entries;
    LRESULT count = Send(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT row = 0; row < count; ++row) {
        LRESULT length = Send(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(row), 0);
        if (length < 0 || static_cast<size_t>(length) > kMaxText) {
            entries.emplace_back();
            continue;
        }
        std::wstring entry(static_cast<size_t>(length) + 1, L'\0');
        LRESULT copied = Send(combo, CB_GETLBTEXT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(entry.data()));
        entry.resize(static_cast<size_t>(std::clamp<LRESULT>(copied, 0, length)));
        entries.push_back(entry);
    }
    return entries;
}

int Driver::Text() {
    if (!Control(1, 2))
        return Result(false);
    // A drop-down list shows its selected entry as its text.
    Print(TextOf(control_));
    return 0;
}

int Driver::Lines() {
    if (!Control(1, 2))
        return Result(false);
    for (const std::wstring& line : ListLines(control_))
        Print(line);
    return 0;
}

int Driver::WaitLine() {
    const std::wstring wanted = args_[3];
    std::wstring found;
    // Lines are only ever appended to these lists: each look reads the new ones, so
    // that waiting costs the program's window little however long its list grows.
    // A list that became shorter was cleared and is read from its start.
    HWND list = nullptr;
    LRESULT read = 0;
    bool ok = WaitFor(
        [&] {
            if (!Control(1, 2))
                return false;
            if (control_ != list || Send(control_, LB_GETCOUNT, 0, 0) < read) {
                list = control_;
                read = 0;
            }
            for (const std::wstring& line : ListLines(control_, read)) {
                ++read;
                if (line.find(wanted) != std::wstring::npos) {
                    found = line;
                    return true;
                }
            }
            return false;
        },
        args_.Number(4, kDefaultWaitMs));
    if (!ok)
        error_ = "no line with " + Narrow(wanted);
    else
        Print(found);
    return Result(ok);
}

int Driver::WaitLastLine() {
    const std::wstring wanted = args_[3];
    std::wstring last;
    bool ok = WaitFor(
        [&] {
            if (!Control(1, 2))
                return false;
            const LRESULT count = Send(control_, LB_GETCOUNT, 0, 0);
            if (count <= 0)
                return false;
            std::vector<std::wstring> lines = ListLines(control_, count - 1);
            last = lines.empty() ? std::wstring() : lines.back();
            return last.find(wanted) != std::wstring::npos;
        },
        args_.Number(4, kDefaultWaitMs));
    if (!ok)
        error_ = "the last line has no " + Narrow(wanted);
    else
        Print(last);
    return Result(ok);
}

int Driver::Combo() {
    if (!Control(1, 2))
        return Result(false);
    Print(std::to_string(static_cast<int>(Send(control_, CB_GETCURSEL, 0, 0))));
    int index = 0;
    for (const std::wstring& entry : ComboEntries(control_))
        Print(std::to_wstring(index++) + L"\t" + entry);
    return 0;
}

int Driver::Rows() {
    if (!Control(1, 2))
        return Result(false);
    RemoteMemory memory(control_, sizeof(LVITEMW) + kMaxText * sizeof(wchar_t));
    if (!memory.valid())
        return Fail("cannot reach the program's memory");
    LRESULT count = Send(control_, LVM_GETITEMCOUNT, 0, 0);
    for (LRESULT row = 0; row < count; ++row) {
        LVITEMW item{};
        item.iSubItem = 0;
        item.cchTextMax = static_cast<int>(kMaxText);
        item.pszText = reinterpret_cast<wchar_t*>(memory.at(sizeof(LVITEMW)));
        std::wstring text(kMaxText, L'\0');
        if (!memory.Write(0, &item, sizeof(item)))
            return Fail("cannot write to the program's memory");
        LRESULT length =
            Send(control_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(memory.at(0)));
        length = std::clamp<LRESULT>(length, 0, static_cast<LRESULT>(kMaxText) - 1);
        memory.Read(sizeof(LVITEMW), text.data(), static_cast<size_t>(length) * sizeof(wchar_t));
        text.resize(static_cast<size_t>(length));
        auto state = static_cast<UINT>(
            Send(control_, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED | LVIS_STATEIMAGEMASK));
        bool checked = ((state & LVIS_STATEIMAGEMASK) >> 12) == 2;
        Print(std::wstring(checked ? L"1" : L"0") + L"\t" + ((state & LVIS_SELECTED) ? L"1" : L"0") + L"\t" + text);
    }
    return 0;
}

int Driver::Click() {
    if (!Control(1, 2))
        return Result(false);
    if (!IsWindowEnabled(control_) || !IsWindowEnabled(window_) || !IsWindowVisible(control_))
        return Fail("control " + Narrow(args_[2]) + " cannot be clicked now (disabled or hidden)");
    bool ok = false;
    Send(control_, BM_CLICK, 0, 0, &ok);
    error_ = "the program did not answer";
    return Result(ok);
}

int Driver::Pick() {
    if (!Control(1, 2))
        return Result(false);
    if (!IsWindowEnabled(control_) || !IsWindowEnabled(window_))
        return Fail("drop-down list " + Narrow(args_[2]) + " is disabled");
    int index = -1;
    if (args_[3].rfind(L"=", 0) == 0) {
        std::vector<std::wstring> entries = ComboEntries(control_);
        for (size_t i = 0; i < entries.size() && index < 0; ++i) {
            if (entries[i] == args_[3].substr(1))
                index = static_cast<int>(i);
        }
    } else {
        index = args_.Number(3, -1);
    }
    if (index < 0 || index >= static_cast<int>(Send(control_, CB_GETCOUNT, 0, 0)))
        return Fail("no entry " + Narrow(args_[3]));
    Send(control_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    // The owner hears of it as it does when the user picks an entry.
    Send(window_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control_), CBN_SELCHANGE), reinterpret_cast<LPARAM>(control_));
    return Result(static_cast<int>(Send(control_, CB_GETCURSEL, 0, 0)) == index);
}

int Driver::Check() {
    if (!Control(1, 2))
        return Result(false);
    int row = args_.Number(3, -1);
    int checked = args_.Number(4, -1);
    if (row < 0 || row >= static_cast<int>(Send(control_, LVM_GETITEMCOUNT, 0, 0)) || checked < 0 || checked > 1)
        return Fail("no row " + Narrow(args_[3]) + " or state " + Narrow(args_[4]));
    if (!IsWindowEnabled(control_) || !IsWindowEnabled(window_))
        return Fail("list " + Narrow(args_[2]) + " is disabled");
    RemoteMemory memory(control_, sizeof(LVITEMW));
    LVITEMW item{};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
    if (!memory.valid() || !memory.Write(0, &item, sizeof(item)))
        return Fail("cannot reach the program's memory");
    Send(control_, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(memory.at(0)));
    auto state = static_cast<UINT>(Send(control_, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_STATEIMAGEMASK));
    error_ = "the check box did not change";
    return Result(((state & LVIS_STATEIMAGEMASK) >> 12) == static_cast<UINT>(checked ? 2 : 1));
}

int Driver::Message(bool dismiss) {
    HWND box = nullptr;
    if (!WaitFor([&] { return (box = FindProgramDialog(IsMessageBox)) != nullptr; }, args_.Number(1, kDefaultWaitMs)))
        return Fail("no message box");
    if (!dismiss) {
        Print(TextOf(box));
        Print(TextOf(GetDlgItem(box, 0xFFFF)));
        return 0;
    }
    HWND button = FindWindowExW(box, nullptr, L"Button", nullptr);
    if (!button)
        return Fail("the message box has no button");
    PostMessageW(button, BM_CLICK, 0, 0);
    error_ = "the message box stayed open";
    return Result(WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }, kDefaultWaitMs));
}

// The text of the folder browser's selected tree item.
std::wstring SelectedFolderName(HWND browser) {
    HWND tree = FindWindowExW(browser, nullptr, WC_TREEVIEWW, nullptr);
    if (!tree) {
        for (HWND child = GetWindow(browser, GW_CHILD); child && !tree; child = GetWindow(child, GW_HWNDNEXT))
            tree = FindWindowExW(child, nullptr, WC_TREEVIEWW, nullptr);
    }
    if (!tree)
        return {};
    auto item = reinterpret_cast<HTREEITEM>(Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    if (!item)
        return {};
    constexpr size_t kNameLength = MAX_PATH;
    RemoteMemory memory(tree, sizeof(TVITEMW) + kNameLength * sizeof(wchar_t));
    TVITEMW query{};
    query.mask = TVIF_TEXT;
    query.hItem = item;
    query.pszText = reinterpret_cast<wchar_t*>(memory.at(sizeof(TVITEMW)));
    query.cchTextMax = static_cast<int>(kNameLength);
    std::wstring name(kNameLength, L'\0');
    if (!memory.valid() || !memory.Write(0, &query, sizeof(query)) ||
        !Send(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(memory.at(0))) ||
        !memory.Read(sizeof(TVITEMW), name.data(), name.size() * sizeof(wchar_t)))
        return {};
    name.resize(wcsnlen(name.c_str(), name.size()));
    return name;
}

int Driver::Browse() {
    HWND browser = nullptr;
    if (!WaitFor([&] { return (browser = FindProgramDialog(IsFolderBrowser)) != nullptr; },
                 args_.Number(2, kDefaultWaitMs)))
        return Fail("no folder browser");
    // The browser takes the path as a pointer into its own process.
    std::wstring folder = args_[1];
    while (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    RemoteMemory memory(browser, (folder.size() + 1) * sizeof(wchar_t));
    if (!memory.valid() || !memory.Write(0, folder.c_str(), (folder.size() + 1) * sizeof(wchar_t)))
        return Fail("cannot reach the program's memory");
    // The browser may still be filling its tree and selecting its initial folder:
    // select until the tree shows the folder (a drive shows another name, so
    // after a while go on regardless).
    const std::wstring leaf = folder.substr(folder.find_last_of(L"\\/") + 1);
    WaitFor(
        [&] {
            Send(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(memory.at(0)));
            Sleep(100);
            return SelectedFolderName(browser) == leaf;
        },
        3000);
    HWND okButton = GetDlgItem(browser, IDOK);
    if (!okButton || !IsWindowEnabled(okButton))
        return Fail("the folder cannot be chosen: " + Narrow(folder));
    PostMessageW(okButton, BM_CLICK, 0, 0);
    error_ = "the folder browser stayed open";
    return Result(WaitFor([&] { return !IsWindow(browser) || !IsWindowVisible(browser); }, kDefaultWaitMs));
}

// --- trust ---

// Adds the PEM file's certificate to the machine's Root store (the current user's
// would ask for a confirmation), or removes it. The registry store keeps a change
// only when committed.
int Trust(const std::wstring& pemPath, bool add) {
    HANDLE file = CreateFileW(pemPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return Fail("cannot open " + Narrow(pemPath));
    std::string pem(65536, '\0');
    DWORD read = 0;
    BOOL ok = ReadFile(file, pem.data(), static_cast<DWORD>(pem.size()), &read, nullptr);
    CloseHandle(file);
    pem.resize(ok ? read : 0);
    DWORD size = 0;
    if (pem.empty() || !CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                             nullptr, &size, nullptr, nullptr))
        return Fail("no certificate in " + Narrow(pemPath));
    std::string der(size, '\0');
    CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                         reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr);
    PCCERT_CONTEXT certificate =
        CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    bool done = false;
    if (certificate && store) {
        if (add) {
            done = CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        } else {
            PCCERT_CONTEXT found =
                CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
            done = !found || CertDeleteCertificateFromStore(found);  // deleting frees `found`
        }
        done = done && CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    if (store)
        CertCloseStore(store, 0);
    if (certificate)
        CertFreeCertificateContext(certificate);
    return done ? 0 : Fail("the Root store did not take the change: " + std::to_string(GetLastError()));
}

int Driver::Run() {
    if (args_.size() < 1)
        return 2;
    const std::wstring& command = args_[0];
    if (command == L"windows")
        return Windows();
    if (command == L"wait-window" && args_.size() >= 2) {
        error_ = "no window " + Narrow(args_[1]);
        return Result(WaitFor([&] { return FindTopLevel(args_[1]) != nullptr; }, args_.Number(2, kDefaultWaitMs)));
    }
    if (command == L"wait-gone" && args_.size() >= 2) {
        error_ = "window still there: " + Narrow(args_[1]);
        return Result(WaitFor([&] { return FindTopLevel(args_[1]) == nullptr; }, args_.Number(2, kDefaultWaitMs)));
    }
    if (command == L"controls" && args_.size() >= 2)
        return Controls();
    if (command == L"text" && args_.size() >= 3)
        return Text();
    if (command == L"enabled" && args_.size() >= 3) {
        if (!Control(1, 2))
            return Result(false);
        Print(IsWindowEnabled(control_) ? "1" : "0");
        return 0;
    }
    if (command == L"wait-enabled" && args_.size() >= 4) {
        bool wanted = args_.Number(3, 1) != 0;
        error_ = "control " + Narrow(args_[2]) + " did not become " + (wanted ? "enabled" : "disabled");
        return Result(WaitFor([&] { return Control(1, 2) && (IsWindowEnabled(control_) != 0) == wanted; },
                              args_.Number(4, kDefaultWaitMs)));
    }
    if (command == L"lines" && args_.size() >= 3)
        return Lines();
    if (command == L"wait-line" && args_.size() >= 4)
        return WaitLine();
    if (command == L"wait-last-line" && args_.size() >= 4)
        return WaitLastLine();
    if (command == L"combo" && args_.size() >= 3)
        return Combo();
    if (command == L"progress" && args_.size() >= 3) {
        if (!Control(1, 2))
            return Result(false);
        Print(std::to_string(static_cast<int>(Send(control_, PBM_GETPOS, 0, 0))));
        return 0;
    }
    if (command == L"rows" && args_.size() >= 3)
        return Rows();
    if (command == L"click" && args_.size() >= 3)
        return Click();
    if (command == L"close" && args_.size() >= 2) {
        if (!Window(1))
            return Result(false);
        PostMessageW(window_, WM_CLOSE, 0, 0);
        return 0;
    }
    if (command == L"pick" && args_.size() >= 4)
        return Pick();
    if (command == L"check" && args_.size() >= 5)
        return Check();
    if (command == L"type" && args_.size() >= 4) {
        if (!Control(1, 2))
            return Result(false);
        bool ok = false;
        Send(control_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(args_[3].c_str()), &ok);
        error_ = "the text did not change";
        return Result(ok && TextOf(control_) == args_[3]);
    }
    if (command == L"message")
        return Message(false);
    if (command == L"dismiss")
        return Message(true);
    if (command == L"browse")
        return Browse();
    if ((command == L"trust" || command == L"distrust") && args_.size() >= 2)
        return Trust(args_[1], command == L"trust");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Arguments args;
    int first = 1;
    // A program started in a virtual desktop (wine explorer /desktop=NAME) has
    // its windows there; the driver looks in the same desktop.
    if (argc > 2 && std::wstring(argv[1]) == L"--desktop") {
        HDESK desktop = OpenDesktopW(argv[2], 0, FALSE, GENERIC_ALL);
        if (!desktop || !SetThreadDesktop(desktop))
            return Fail("no desktop " + Narrow(argv[2]));
        first = 3;
    }
    for (int i = first; i < argc; ++i)
        args.words.emplace_back(argv[i]);
    int code = Driver(std::move(args)).Run();
    if (code == 2)
        Fail("usage: zefo_driver COMMAND [ARGUMENTS] (see the comment at the top of zefo_driver.cpp)");
    return code;
}
