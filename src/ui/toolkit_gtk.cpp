#include "ui/toolkit_gtk.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace zefo::ui {

namespace {

// The program's layout is in pixels for the Windows message font (9 points at
// 96 dpi): lines about 17 pixels high, characters about 5.6 pixels wide on
// average. A desktop font that is larger either way scales the whole layout, as
// a higher resolution does on Windows, so that texts keep the room they had.
constexpr double kDesignLineHeight = 17.0;
constexpr double kDesignCharWidth = 5.6;
// Worker calls run below input and redrawing, so a busy worker starves neither.
constexpr int kInvokePriority = G_PRIORITY_DEFAULT_IDLE;
// A text list measures at most this much of a line for its scroll width and
// estimates the rest; the width never exceeds kMaxExtent pixels.
constexpr size_t kMeasuredBytes = 4096;
constexpr long long kMaxExtent = 1 << 15;
// Room the cell renderer leaves around a line's text.
constexpr int kCellPadding = 8;
// MessageBox's result for OK, the only button the box has.
constexpr int kMessageOk = 1;
constexpr char kGadgetKey[] = "zefo-gadget";
constexpr char kWindowKey[] = "zefo-window";

// The layout gives buttons, fields and drop-down lists 20 pixels; the theme's
// paddings and minimum heights are trimmed so that the text fits and no control
// grows beyond its place. Only the toolkit's own windows are affected.
constexpr char kStyle[] = R"css(
window.zefo button { min-height: 0; min-width: 0; padding: 0 6px; }
window.zefo combobox button { padding-top: 0; padding-bottom: 0; }
window.zefo entry { min-height: 0; padding-top: 0; padding-bottom: 0; }
window.zefo progressbar trough, window.zefo progressbar progress { min-width: 0; }
)css";

// --- owned GTK objects ---

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using ObjectRef = std::unique_ptr<T, ObjectUnref>;

struct WidgetDestroyer {
    void operator()(GtkWidget* widget) const { gtk_widget_destroy(widget); }
};
using OwnedWidget = std::unique_ptr<GtkWidget, WidgetDestroyer>;

struct GFreeDeleter {
    void operator()(gpointer memory) const { g_free(memory); }
};
using OwnedText = std::unique_ptr<char, GFreeDeleter>;

struct PathFree {
    void operator()(GtkTreePath* path) const { gtk_tree_path_free(path); }
};
using OwnedPath = std::unique_ptr<GtkTreePath, PathFree>;

struct ListFree {
    void operator()(GList* list) const { g_list_free(list); }
};
using OwnedList = std::unique_ptr<GList, ListFree>;

// GTK takes only valid UTF-8; a text that is not is shown with replacement
// characters instead of being refused.
class Utf8 {
  public:
    explicit Utf8(const std::string& text) : text_(text) {
        if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
            fixed_.reset(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
    }
    const char* c_str() const { return fixed_ ? fixed_.get() : text_.c_str(); }

  private:
    const std::string& text_;
    OwnedText fixed_;
};

std::string Copy(const char* text) {
    return text ? std::string(text) : std::string();
}

int Scaled(int value, double scale) {
    return static_cast<int>(std::lround(value * scale));
}

bool InitialiseGtk(const char* programName) {
    static const bool ready = [programName] {
        if (programName)
            g_set_prgname(programName);
        if (!gtk_init_check(nullptr, nullptr))
            return false;
        if (programName)
            gtk_window_set_default_icon_name(programName);
        // GTK takes the locale from the environment for its own texts; numbers
        // are written and read the same way everywhere in this program.
        std::setlocale(LC_NUMERIC, "C");
        return true;
    }();
    return ready;
}

// The factor between the desktop's font and the one the layout was made for.
double LayoutScale(GtkWidget* window) {
    PangoFontMetrics* metrics = pango_context_get_metrics(gtk_widget_get_pango_context(window), nullptr, nullptr);
    if (!metrics)
        return 1.0;
    const double line =
        static_cast<double>(pango_font_metrics_get_ascent(metrics) + pango_font_metrics_get_descent(metrics)) /
        PANGO_SCALE;
    const double character = static_cast<double>(pango_font_metrics_get_approximate_char_width(metrics)) / PANGO_SCALE;
    pango_font_metrics_unref(metrics);
    return std::max({1.0, line / kDesignLineHeight, character / kDesignCharWidth});
}

GdkRectangle WorkArea() {
    GdkRectangle area{0, 0, 0, 0};
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
    if (!monitor && display)
        monitor = gdk_display_get_monitor(display, 0);
    if (monitor)
        gdk_monitor_get_workarea(monitor, &area);
    return area;
}

// --- calls from other threads ---

struct Invocation {
    std::function<void()> call;
    std::exception_ptr error;
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    // GLib hands the invocation to the loop's thread under a lock of its own, which
    // ThreadSanitizer cannot see in the uninstrumented library; this pair makes the
    // same hand-off in C++, so that the call and what it captured are published.
    std::atomic<bool> posted{false};
};

gboolean RunInvocation(gpointer data) {
    auto* invocation = static_cast<Invocation*>(data);
    invocation->posted.load(std::memory_order_acquire);
    try {
        invocation->call();
    } catch (...) {
        invocation->error = std::current_exception();
    }
    // Notified under the lock: the caller owns the invocation and may end it
    // as soon as it sees `done`.
    std::lock_guard guard(invocation->lock);
    invocation->done = true;
    invocation->finished.notify_one();
    return G_SOURCE_REMOVE;
}

// Runs the invocation on the loop's thread and waits for it there.
void Post(Invocation& invocation) {
    invocation.posted.store(true, std::memory_order_release);
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, kInvokePriority);
    g_source_set_callback(source, RunInvocation, &invocation, nullptr);
    g_source_attach(source, nullptr);
    g_source_unref(source);
    std::unique_lock lock(invocation.lock);
    invocation.finished.wait(lock, [&] { return invocation.done; });
    if (invocation.error)
        std::rethrow_exception(invocation.error);
}

// --- dialogs ---

// Shared by the caller waiting for a dialog and the dialog's handlers, which
// may outlive the toolkit.
struct DialogState {
    std::mutex lock;
    std::condition_variable closed;
    bool done = false;
    std::string folder;  // the folder chooser's answer, empty on cancel

    bool Done() {
        std::lock_guard guard(lock);
        return done;
    }
};
using DialogHandle = std::shared_ptr<DialogState>;

void FreeDialogHandle(gpointer data, GClosure*) {
    delete static_cast<DialogHandle*>(data);
}

void OnDialogDestroyed(GtkWidget*, gpointer data) {
    DialogState& state = **static_cast<DialogHandle*>(data);
    std::lock_guard guard(state.lock);
    state.done = true;
    state.closed.notify_all();
}

void OnMessageResponse(GtkDialog* dialog, gint, gpointer) {
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void OnFolderResponse(GtkDialog* dialog, gint response, gpointer data) {
    if (response == GTK_RESPONSE_ACCEPT) {
        OwnedText name(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog)));
        DialogState& state = **static_cast<DialogHandle*>(data);
        std::lock_guard guard(state.lock);
        state.folder = Copy(name.get());
    }
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void WatchDialog(GtkWidget* dialog, const DialogHandle& state, GCallback onResponse) {
    g_signal_connect_data(dialog, "response", onResponse, new DialogHandle(state), FreeDialogHandle, GConnectFlags(0));
    g_signal_connect_data(dialog, "destroy", G_CALLBACK(OnDialogDestroyed), new DialogHandle(state), FreeDialogHandle,
                          GConnectFlags(0));
}

// GtkMessageDialog shows no icon of its own since GTK 3.12: the icon goes in
// front of the texts, where the dialog used to put it.
void AddIcon(GtkWidget* dialog, const char* iconName) {
    GtkWidget* texts = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    GtkWidget* row = texts ? gtk_widget_get_parent(texts) : nullptr;
    if (!row || !GTK_IS_BOX(row))
        return;
    GtkWidget* image = gtk_image_new_from_icon_name(iconName, GTK_ICON_SIZE_DIALOG);
    gtk_widget_set_valign(image, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
    gtk_box_reorder_child(GTK_BOX(row), image, 0);
    gtk_widget_show(image);
}

// --- the client area ---

// A GtkFixed whose natural size is its minimum: a child's long text never widens
// a window beyond the client area the layout gives it.
struct ZefoLayout {
    GtkFixed parent;
};
struct ZefoLayoutClass {
    GtkFixedClass parentClass;
};
G_DEFINE_TYPE(ZefoLayout, zefo_layout, GTK_TYPE_FIXED)

void LayoutPreferredWidth(GtkWidget* widget, gint* minimum, gint* natural) {
    GTK_WIDGET_CLASS(zefo_layout_parent_class)->get_preferred_width(widget, minimum, natural);
    *natural = *minimum;
}

void LayoutPreferredHeight(GtkWidget* widget, gint* minimum, gint* natural) {
    GTK_WIDGET_CLASS(zefo_layout_parent_class)->get_preferred_height(widget, minimum, natural);
    *natural = *minimum;
}

void zefo_layout_class_init(ZefoLayoutClass* layoutClass) {
    GtkWidgetClass* widgetClass = GTK_WIDGET_CLASS(layoutClass);
    widgetClass->get_preferred_width = LayoutPreferredWidth;
    widgetClass->get_preferred_height = LayoutPreferredHeight;
}

void zefo_layout_init(ZefoLayout*) {}

// --- lists ---

enum class Kind { Button, TextList, ProgressBar, Label, ReportList, DropDown, TextField };

// Text lists hold one text column; report lists a text and a check mark.
GtkListStore* NewStore(Kind kind) {
    return kind == Kind::ReportList ? gtk_list_store_new(2, G_TYPE_STRING, G_TYPE_BOOLEAN)
                                    : gtk_list_store_new(1, G_TYPE_STRING);
}

// GtkTreeView selects its cursor row when it takes the focus and has no
// cursor yet; a list that gets its first row gets a cursor that selects nothing.
void PlaceCursorWithoutSelecting(GtkTreeView* view) {
    GtkTreeSelection* selection = gtk_tree_view_get_selection(view);
    const GtkSelectionMode mode = gtk_tree_selection_get_mode(selection);
    gtk_tree_selection_set_mode(selection, GTK_SELECTION_NONE);
    OwnedPath first(gtk_tree_path_new_first());
    gtk_tree_view_set_cursor(view, first.get(), nullptr, FALSE);
    gtk_tree_selection_set_mode(selection, mode);
}

int SelectedRow(GtkTreeView* view) {
    GtkTreeModel* model = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_selection_get_selected(gtk_tree_view_get_selection(view), &model, &iter))
        return -1;
    OwnedPath path(gtk_tree_model_get_path(model, &iter));
    const int* indices = path ? gtk_tree_path_get_indices(path.get()) : nullptr;
    return indices ? indices[0] : -1;
}

// C entry points of the signals; each catches everything at the edge.
void OnClicked(GtkButton* button, gpointer self);
void OnSelectionChanged(GtkTreeSelection* selection, gpointer self);
void OnRowActivated(GtkTreeView* view, GtkTreePath*, GtkTreeViewColumn*, gpointer self);
void OnComboChanged(GtkComboBox* combo, gpointer self);
void OnToggled(GtkCellRendererToggle* renderer, gchar* path, gpointer self);
gboolean OnDelete(GtkWidget* window, GdkEvent*, gpointer self);
gboolean OnKeyEvent(GtkWidget* window, GdkEventKey* key, gpointer self);

class GtkToolkit final : public Toolkit {
  public:
    explicit GtkToolkit(bool ready);
    ~GtkToolkit() override;
    GtkToolkit(const GtkToolkit&) = delete;
    GtkToolkit& operator=(const GtkToolkit&) = delete;

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

    // Signal handlers, on the loop's thread.
    void OnGadgetSignal(GObject* source, int type);
    void OnToggle(GtkCellRendererToggle* renderer, const char* path);
    void OnCloseBox(GtkWidget* window);
    bool OnKey(GtkWidget* window, const GdkEventKey& key);

  private:
    struct WindowRecord {
        int number = 0;
        OwnedWidget window;
        GtkWidget* guard = nullptr;  // an event box that holds the mouse off a disabled window
        GtkWidget* fixed = nullptr;  // the client area; both owned by the window
        double scale = 1.0;
        int cancelGadget = 0;
        bool enabled = true;
    };

    struct GadgetRecord {
        int number = 0;
        int window = 0;
        Kind kind = Kind::Button;
        int x = 0, y = 0;             // place in the layout
        GtkWidget* outer = nullptr;   // the widget in the window's layout, owned by it
        GtkWidget* widget = nullptr;  // the control itself (the tree view of a list)
        GtkTreeViewColumn* column = nullptr;
        GtkCellRenderer* toggle = nullptr;  // report list with check boxes
        ObjectRef<PangoLayout> measure;     // text list: measures lines
        int extent = 0;                     // text list: widest line in pixels
        int minimum = 0, maximum = 0, position = 0;
        std::string title;  // report list: column title
    };

    struct Event {
        int code = kEventNone;
        int gadget = 0;
        int type = 0;
        int window = 0;
    };

    // Our own changes of a selection raise no events, as on Windows.
    class Quiet {
      public:
        explicit Quiet(GtkToolkit& toolkit) : toolkit_(toolkit) { ++toolkit_.quiet_; }
        ~Quiet() { --toolkit_.quiet_; }
        Quiet(const Quiet&) = delete;
        Quiet& operator=(const Quiet&) = delete;

      private:
        GtkToolkit& toolkit_;
    };

    template <class F>
    std::invoke_result_t<F&> OnUiThread(F&& f);

    bool OnUiThreadNow() const { return std::this_thread::get_id() == uiThread_; }
    WindowRecord* LookupWindow(int number);
    WindowRecord* LookupWindow(GtkWidget* window);
    GadgetRecord* LookupGadget(int number);
    GadgetRecord* LookupGadget(int number, Kind kind);
    GadgetRecord* LookupGadget(GObject* source);
    WindowRecord* CurrentWindow();
    int Place(WindowRecord& window, GadgetRecord record, int x, int y, int width, int height);
    GadgetRecord NewList(Kind kind, const std::string& title, bool header, bool checks, int columnWidth, double scale);
    void RemoveGadget(int gadget);
    void CloseWindowNow(int window);
    GtkTreeModel* Model(const GadgetRecord& gadget) const;
    bool RowIter(const GadgetRecord& gadget, int row, GtkTreeIter* iter) const;
    std::string ItemText(const GadgetRecord& gadget, int row) const;
    void Measure(GadgetRecord& gadget, const char* line);
    void Push(const Event& event);
    void PressCancel(const WindowRecord& window);
    void FocusFirstControls();
    GtkWindow* DialogOwner();
    bool OpenMessage(const std::string& title, const std::string& text, unsigned flags, const DialogHandle& state);
    bool OpenFolderChooser(const std::string& title, const std::string& initialFolder, const DialogHandle& state);
    void WaitForDialog(DialogState& state);

    std::thread::id uiThread_;
    bool ready_ = false;
    ObjectRef<GtkCssProvider> style_;
    std::map<int, WindowRecord> windows_;
    std::vector<int> openOrder_;  // windows by the time they were opened, last opened last
    std::map<int, GadgetRecord> gadgets_;
    std::deque<Event> events_;
    Event last_;
    int quiet_ = 0;
};

GtkToolkit::GtkToolkit(bool ready) : uiThread_(std::this_thread::get_id()), ready_(ready) {
    if (!ready_)
        return;
    style_.reset(gtk_css_provider_new());
    gtk_css_provider_load_from_data(style_.get(), kStyle, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(style_.get()),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

GtkToolkit::~GtkToolkit() {
    // The handlers see no toolkit records once the windows start going.
    std::map<int, WindowRecord> windows = std::move(windows_);
    windows_.clear();
    gadgets_.clear();
    openOrder_.clear();
    events_.clear();
    ++quiet_;
    windows.clear();
    if (style_)
        gtk_style_context_remove_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(style_.get()));
}

template <class F>
std::invoke_result_t<F&> GtkToolkit::OnUiThread(F&& f) {
    using Result = std::invoke_result_t<F&>;
    // Without a display no window exists and every operation only looks, so
    // calls run where they are made.
    if (OnUiThreadNow() || !ready_)
        return f();
    Invocation invocation;
    if constexpr (std::is_void_v<Result>) {
        invocation.call = [&f] { f(); };
        Post(invocation);
    } else {
        Result result{};
        invocation.call = [&f, &result] { result = f(); };
        Post(invocation);
        return result;
    }
}

GtkToolkit::WindowRecord* GtkToolkit::LookupWindow(int number) {
    auto it = windows_.find(number);
    return it == windows_.end() ? nullptr : &it->second;
}

GtkToolkit::WindowRecord* GtkToolkit::LookupWindow(GtkWidget* window) {
    WindowRecord* record = LookupWindow(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(window), kWindowKey)));
    return record && record->window.get() == window ? record : nullptr;
}

GtkToolkit::GadgetRecord* GtkToolkit::LookupGadget(int number) {
    auto it = gadgets_.find(number);
    return it == gadgets_.end() ? nullptr : &it->second;
}

GtkToolkit::GadgetRecord* GtkToolkit::LookupGadget(int number, Kind kind) {
    GadgetRecord* gadget = LookupGadget(number);
    return gadget && gadget->kind == kind ? gadget : nullptr;
}

GtkToolkit::GadgetRecord* GtkToolkit::LookupGadget(GObject* source) {
    GadgetRecord* gadget = LookupGadget(GPOINTER_TO_INT(g_object_get_data(source, kGadgetKey)));
    if (!gadget || (G_OBJECT(gadget->widget) != source && G_OBJECT(gadget->toggle) != source))
        return nullptr;
    return gadget;
}

GtkToolkit::WindowRecord* GtkToolkit::CurrentWindow() {
    return openOrder_.empty() ? nullptr : LookupWindow(openOrder_.back());
}

// --- windows ---

int GtkToolkit::OpenWindow(int window, int x, int y, int width, int height, const std::string& title, unsigned flags) {
    return OnUiThread([&]() -> int {
        if (!ready_)
            return 0;
        if (windows_.count(window))
            CloseWindowNow(window);

        GtkWidget* top = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        if (!top)
            return 0;
        WindowRecord& record = windows_[window];
        record.number = window;
        record.window.reset(top);
        openOrder_.push_back(window);
        g_object_set_data(G_OBJECT(top), kWindowKey, GINT_TO_POINTER(window));
        gtk_style_context_add_class(gtk_widget_get_style_context(top), "zefo");

        GtkWindow* gtkWindow = GTK_WINDOW(top);
        gtk_window_set_title(gtkWindow, Utf8(title).c_str());
        gtk_window_set_resizable(gtkWindow, FALSE);
        gtk_window_set_decorated(gtkWindow, (flags & kWindowTitleBar) != 0);
        gtk_window_set_deletable(gtkWindow, (flags & kWindowSystemMenu) != 0);
        // Window managers give dialog windows no minimise box.
        gtk_window_set_type_hint(gtkWindow,
                                 (flags & kWindowMinimize) ? GDK_WINDOW_TYPE_HINT_NORMAL : GDK_WINDOW_TYPE_HINT_DIALOG);
        record.scale = LayoutScale(top);

        record.guard = gtk_event_box_new();
        gtk_event_box_set_visible_window(GTK_EVENT_BOX(record.guard), FALSE);
        gtk_widget_add_events(record.guard, GDK_SCROLL_MASK | GDK_SMOOTH_SCROLL_MASK);
        gtk_container_add(GTK_CONTAINER(top), record.guard);
        record.fixed = GTK_WIDGET(g_object_new(zefo_layout_get_type(), nullptr));
        gtk_widget_set_size_request(record.fixed, Scaled(width, record.scale), Scaled(height, record.scale));
        gtk_container_add(GTK_CONTAINER(record.guard), record.fixed);

        g_signal_connect(top, "delete-event", G_CALLBACK(OnDelete), this);
        g_signal_connect(top, "key-press-event", G_CALLBACK(OnKeyEvent), this);
        g_signal_connect(top, "key-release-event", G_CALLBACK(OnKeyEvent), this);

        if (flags & kWindowCentered) {
            gtk_window_set_position(gtkWindow, GTK_WIN_POS_CENTER);
        } else {
            const GdkRectangle work = WorkArea();
            gtk_window_move(gtkWindow, work.x + Scaled(x, record.scale), work.y + Scaled(y, record.scale));
        }

        // The window manager's buttons: close with the system menu, minimise when
        // asked, never maximise or resize.
        gtk_widget_realize(top);
        if (GdkWindow* native = gtk_widget_get_window(top)) {
            unsigned functions = GDK_FUNC_MOVE;
            unsigned decorations = GDK_DECOR_BORDER | GDK_DECOR_TITLE;
            if (flags & kWindowSystemMenu) {
                functions |= GDK_FUNC_CLOSE;
                decorations |= GDK_DECOR_MENU;
            }
            if (flags & kWindowMinimize) {
                functions |= GDK_FUNC_MINIMIZE;
                decorations |= GDK_DECOR_MINIMIZE;
            }
            gdk_window_set_functions(native, static_cast<GdkWMFunction>(functions));
            if (flags & kWindowTitleBar)
                gdk_window_set_decorations(native, static_cast<GdkWMDecoration>(decorations));
        }
        gtk_widget_show_all(top);
        return 1;
    });
}

void GtkToolkit::CloseWindowNow(int window) {
    auto it = windows_.find(window);
    if (it == windows_.end())
        return;
    OwnedWidget top = std::move(it->second.window);
    windows_.erase(it);
    std::erase(openOrder_, window);
    std::erase_if(gadgets_, [window](const auto& entry) { return entry.second.window == window; });
    // Events of a window that is gone would act on gadgets that no longer exist.
    std::erase_if(events_, [window](const Event& event) { return event.window == window; });
    Quiet quiet(*this);
    top.reset();
}

void GtkToolkit::CloseWindow(int window) {
    OnUiThread([&] { CloseWindowNow(window); });
}

void GtkToolkit::DisableWindow(int window, int state) {
    OnUiThread([&] {
        // The controls keep their look, as in a disabled window on Windows. The
        // event box above them takes the mouse, the key handler the keyboard.
        WindowRecord* record = LookupWindow(window);
        if (!record)
            return;
        record->enabled = state == 0;
        gtk_event_box_set_above_child(GTK_EVENT_BOX(record->guard), !record->enabled);
    });
}

void GtkToolkit::KeepOnTop(int window, int state) {
    OnUiThread([&] {
        WindowRecord* record = LookupWindow(window);
        if (!record)
            return;
        gtk_window_set_keep_above(GTK_WINDOW(record->window.get()), state != 0);
        GdkWindow* native = gtk_widget_get_window(record->window.get());
        if (state && native)
            gdk_window_raise(native);
    });
}

void GtkToolkit::SetWindowTitle(int window, const std::string& title) {
    OnUiThread([&] {
        if (WindowRecord* record = LookupWindow(window))
            gtk_window_set_title(GTK_WINDOW(record->window.get()), Utf8(title).c_str());
    });
}

// --- gadget creation ---

void GtkToolkit::RemoveGadget(int gadget) {
    auto it = gadgets_.find(gadget);
    if (it == gadgets_.end())
        return;
    GtkWidget* outer = it->second.outer;
    gadgets_.erase(it);
    Quiet quiet(*this);
    gtk_widget_destroy(outer);
}

int GtkToolkit::Place(WindowRecord& window, GadgetRecord record, int x, int y, int width, int height) {
    RemoveGadget(record.number);
    record.window = window.number;
    record.x = x;
    record.y = y;
    g_object_set_data(G_OBJECT(record.widget), kGadgetKey, GINT_TO_POINTER(record.number));
    if (record.toggle)
        g_object_set_data(G_OBJECT(record.toggle), kGadgetKey, GINT_TO_POINTER(record.number));
    gtk_widget_set_size_request(record.outer, Scaled(width, window.scale), Scaled(height, window.scale));
    gtk_fixed_put(GTK_FIXED(window.fixed), record.outer, Scaled(x, window.scale), Scaled(y, window.scale));
    gtk_widget_show_all(record.outer);
    const int number = record.number;
    gadgets_[number] = std::move(record);
    return 1;
}

int GtkToolkit::ButtonGadget(int gadget, int x, int y, int width, int height, const std::string& text) {
    return OnUiThread([&]() -> int {
        WindowRecord* window = CurrentWindow();
        if (!window)
            return 0;
        GadgetRecord record;
        record.number = gadget;
        record.kind = Kind::Button;
        record.widget = record.outer = gtk_button_new_with_label(Utf8(text).c_str());
        // A text longer than the button ends in an ellipsis instead of widening it.
        if (GtkWidget* label = gtk_bin_get_child(GTK_BIN(record.widget)); label && GTK_IS_LABEL(label))
            gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
        g_signal_connect(record.widget, "clicked", G_CALLBACK(OnClicked), this);
        return Place(*window, std::move(record), x, y, width, height);
    });
}

// A list in fixed-height mode: rows are never measured one by one, so lists of
// any length fill and scroll quickly.
GtkToolkit::GadgetRecord GtkToolkit::NewList(Kind kind,
                                             const std::string& title,
                                             bool header,
                                             bool checks,
                                             int columnWidth,
                                             double scale) {
    GadgetRecord record;
    record.kind = kind;
    record.title = title;
    ObjectRef<GtkListStore> store(NewStore(kind));
    GtkWidget* view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store.get()));
    GtkTreeView* tree = GTK_TREE_VIEW(view);
    gtk_tree_view_set_headers_visible(tree, header);
    gtk_tree_view_set_enable_search(tree, FALSE);

    GtkTreeViewColumn* column = gtk_tree_view_column_new();
    gtk_tree_view_column_set_title(column, Utf8(title).c_str());
    if (checks) {
        record.toggle = gtk_cell_renderer_toggle_new();
        gtk_cell_renderer_toggle_set_activatable(GTK_CELL_RENDERER_TOGGLE(record.toggle), TRUE);
        gtk_tree_view_column_pack_start(column, record.toggle, FALSE);
        gtk_tree_view_column_add_attribute(column, record.toggle, "active", 1);
        g_signal_connect(record.toggle, "toggled", G_CALLBACK(OnToggled), this);
    }
    GtkCellRenderer* text = gtk_cell_renderer_text_new();
    if (kind == Kind::ReportList)
        g_object_set(text, "ellipsize", PANGO_ELLIPSIZE_END, nullptr);
    gtk_tree_view_column_pack_start(column, text, TRUE);
    gtk_tree_view_column_add_attribute(column, text, "text", 0);
    gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_FIXED);
    // A text list's column grows with its widest line; a report list's column
    // has the width given until FitColumn. GtkTreeView widens the last column to
    // the list's width when it is narrower (with "expand" it would keep a stale
    // width once the fixed width changes).
    gtk_tree_view_column_set_fixed_width(column, std::max(1, Scaled(columnWidth, scale)));
    gtk_tree_view_append_column(tree, column);
    gtk_tree_view_set_fixed_height_mode(tree, TRUE);

    GtkTreeSelection* selection = gtk_tree_view_get_selection(tree);
    gtk_tree_selection_set_mode(selection, GTK_SELECTION_SINGLE);
    g_signal_connect(selection, "changed", G_CALLBACK(OnSelectionChanged), this);
    g_signal_connect(view, "row-activated", G_CALLBACK(OnRowActivated), this);

    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    GtkScrolledWindow* frame = GTK_SCROLLED_WINDOW(scrolled);
    gtk_scrolled_window_set_policy(frame, GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_shadow_type(frame, GTK_SHADOW_IN);
    // Scroll bars that stay, so that a long list shows that it is long.
    gtk_scrolled_window_set_overlay_scrolling(frame, FALSE);
    gtk_container_add(GTK_CONTAINER(scrolled), view);

    record.outer = scrolled;
    record.widget = view;
    record.column = column;
    return record;
}

int GtkToolkit::TextListGadget(int gadget, int x, int y, int width, int height) {
    return OnUiThread([&]() -> int {
        WindowRecord* window = CurrentWindow();
        if (!window)
            return 0;
        GadgetRecord record = NewList(Kind::TextList, {}, false, false, 1, 1.0);
        record.number = gadget;
        return Place(*window, std::move(record), x, y, width, height);
    });
}

int GtkToolkit::ProgressBarGadget(int gadget, int x, int y, int width, int height, int minimum, int maximum) {
    return OnUiThread([&]() -> int {
        WindowRecord* window = CurrentWindow();
        if (!window)
            return 0;
        GadgetRecord record;
        record.number = gadget;
        record.kind = Kind::ProgressBar;
        record.widget = record.outer = gtk_progress_bar_new();
        // The bar fills its place instead of the theme's thin line.
        ObjectRef<GtkCssProvider> style(gtk_css_provider_new());
        const std::string css = "progressbar trough, progressbar progress { min-height: " +
                                std::to_string(std::max(0, Scaled(height, window->scale) - 2)) + "px; }";
        gtk_css_provider_load_from_data(style.get(), css.c_str(), -1, nullptr);
        gtk_style_context_add_provider(gtk_widget_get_style_context(record.widget), GTK_STYLE_PROVIDER(style.get()),
                                       GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        record.minimum = minimum;
        record.maximum = std::max(minimum, maximum);
        record.position = record.minimum;
        return Place(*window, std::move(record), x, y, width, height);
    });
}

int GtkToolkit::LabelGadget(int gadget, int x, int y, int width, int height, const std::string& text) {
    return OnUiThread([&]() -> int {
        WindowRecord* window = CurrentWindow();
        if (!window)
            return 0;
        GadgetRecord record;
        record.number = gadget;
        record.kind = Kind::Label;
        record.widget = record.outer = gtk_label_new(Utf8(text).c_str());
        GtkLabel* label = GTK_LABEL(record.widget);
        // Text at the top left of its place, as a static control draws it.
        gtk_label_set_xalign(label, 0.0f);
        gtk_label_set_yalign(label, 0.0f);
        gtk_label_set_ellipsize(label, PANGO_ELLIPSIZE_END);
        return Place(*window, std::move(record), x, y, width, height);
    });
}

int GtkToolkit::ReportListGadget(int gadget,
                                 int x,
                                 int y,
                                 int width,
                                 int height,
                                 const std::string& title,
                                 int columnWidth,
                                 unsigned flags) {
    return OnUiThread([&]() -> int {
        WindowRecord* window = CurrentWindow();
        if (!window)
            return 0;
        GadgetRecord record = NewList(Kind::ReportList, title, !(flags & kReportNoHeader),
                                      (flags & kReportCheckBoxes) != 0, columnWidth, window->scale);
        record.number = gadget;
        return Place(*window, std::move(record), x, y, width, height);
    });
}

int GtkToolkit::DropDownGadget(int gadget, int x, int y, int width, int height) {
    return OnUiThread([&]() -> int {
        WindowRecord* window = CurrentWindow();
        if (!window)
            return 0;
        GadgetRecord record;
        record.number = gadget;
        record.kind = Kind::DropDown;
        record.widget = record.outer = gtk_combo_box_text_new();
        // Long entries end in an ellipsis instead of widening the control.
        OwnedList cells(gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(record.widget)));
        for (GList* cell = cells.get(); cell; cell = cell->next) {
            if (GTK_IS_CELL_RENDERER_TEXT(cell->data))
                g_object_set(cell->data, "ellipsize", PANGO_ELLIPSIZE_END, "ypad", 0, nullptr);
        }
        g_signal_connect(record.widget, "changed", G_CALLBACK(OnComboChanged), this);
        return Place(*window, std::move(record), x, y, width, height);
    });
}

int GtkToolkit::TextFieldGadget(int gadget, int x, int y, int width, int height, const std::string& text) {
    return OnUiThread([&]() -> int {
        WindowRecord* window = CurrentWindow();
        if (!window)
            return 0;
        GadgetRecord record;
        record.number = gadget;
        record.kind = Kind::TextField;
        record.widget = record.outer = gtk_entry_new();
        gtk_entry_set_text(GTK_ENTRY(record.widget), Utf8(text).c_str());
        // Without this an entry asks for 150 pixels at least.
        gtk_entry_set_width_chars(GTK_ENTRY(record.widget), 1);
        return Place(*window, std::move(record), x, y, width, height);
    });
}

// --- gadget operations ---

GtkTreeModel* GtkToolkit::Model(const GadgetRecord& gadget) const {
    switch (gadget.kind) {
        case Kind::TextList:
        case Kind::ReportList:
            return gtk_tree_view_get_model(GTK_TREE_VIEW(gadget.widget));
        case Kind::DropDown:
            return gtk_combo_box_get_model(GTK_COMBO_BOX(gadget.widget));
        default:
            return nullptr;
    }
}

bool GtkToolkit::RowIter(const GadgetRecord& gadget, int row, GtkTreeIter* iter) const {
    GtkTreeModel* model = Model(gadget);
    return model && row >= 0 && gtk_tree_model_iter_nth_child(model, iter, nullptr, row);
}

std::string GtkToolkit::ItemText(const GadgetRecord& gadget, int row) const {
    GtkTreeIter iter;
    if (!RowIter(gadget, row, &iter))
        return {};
    gchar* text = nullptr;
    gtk_tree_model_get(Model(gadget), &iter, 0, &text, -1);
    OwnedText owned(text);
    return Copy(owned.get());
}

int GtkToolkit::DisableGadget(int gadget, int state) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return 0;
        // A control that loses its input keeps no focus: pass it on as Tab would.
        GtkWidget* top = gtk_widget_get_toplevel(record->outer);
        if (state && GTK_IS_WINDOW(top)) {
            GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(top));
            if (focus && (focus == record->outer || gtk_widget_is_ancestor(focus, record->outer)))
                gtk_widget_child_focus(top, GTK_DIR_TAB_FORWARD);
        }
        gtk_widget_set_sensitive(record->outer, state == 0);
        return 1;
    });
}

// The widest line decides how far the list scrolls sideways. Each line is
// measured once, when it is added.
void GtkToolkit::Measure(GadgetRecord& gadget, const char* line) {
    if (!gadget.measure)
        gadget.measure.reset(gtk_widget_create_pango_layout(gadget.widget, nullptr));
    const size_t length = std::char_traits<char>::length(line);
    size_t measured = std::min(length, kMeasuredBytes);
    while (measured > 0 && measured < length && (static_cast<unsigned char>(line[measured]) & 0xC0) == 0x80)
        --measured;
    pango_layout_set_text(gadget.measure.get(), line, static_cast<int>(measured));
    int width = 0;
    pango_layout_get_pixel_size(gadget.measure.get(), &width, nullptr);
    long long extent = width;
    if (measured > 0 && measured < length)
        extent = extent * static_cast<long long>(length) / static_cast<long long>(measured);
    extent = std::min(extent + kCellPadding, kMaxExtent);
    if (extent > gadget.extent) {
        gadget.extent = static_cast<int>(extent);
        gtk_tree_view_column_set_fixed_width(gadget.column, gadget.extent);
    }
}

int GtkToolkit::AddItem(int gadget, int position, const std::string& text) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget);
        GtkTreeModel* model = record ? Model(*record) : nullptr;
        if (!model)
            return 0;
        const int count = gtk_tree_model_iter_n_children(model, nullptr);
        if (position < 0 || position > count)
            position = -1;
        Utf8 line(text);
        Quiet quiet(*this);
        switch (record->kind) {
            case Kind::TextList:
                gtk_list_store_insert_with_values(GTK_LIST_STORE(model), nullptr, position, 0, line.c_str(), -1);
                Measure(*record, line.c_str());
                if (count == 0)
                    PlaceCursorWithoutSelecting(GTK_TREE_VIEW(record->widget));
                return 1;
            case Kind::ReportList:
                gtk_list_store_insert_with_values(GTK_LIST_STORE(model), nullptr, position, 0, line.c_str(), 1, FALSE,
                                                  -1);
                if (count == 0)
                    PlaceCursorWithoutSelecting(GTK_TREE_VIEW(record->widget));
                return 1;
            case Kind::DropDown:
                gtk_combo_box_text_insert(GTK_COMBO_BOX_TEXT(record->widget), position, nullptr, line.c_str());
                return 1;
            default:
                return 0;
        }
    });
}

int GtkToolkit::ClearItems(int gadget) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return 0;
        Quiet quiet(*this);
        switch (record->kind) {
            case Kind::TextList:
            case Kind::ReportList: {
                // A new store instead of deleting row by row: long lists clear at once.
                ObjectRef<GtkListStore> store(NewStore(record->kind));
                gtk_tree_view_set_model(GTK_TREE_VIEW(record->widget), GTK_TREE_MODEL(store.get()));
                if (record->kind == Kind::TextList) {
                    record->extent = 0;
                    gtk_tree_view_column_set_fixed_width(record->column, 1);
                }
                return 1;
            }
            case Kind::DropDown:
                gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(record->widget));
                return 1;
            default:
                return 0;
        }
    });
}

int GtkToolkit::CountItems(int gadget) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget);
        GtkTreeModel* model = record ? Model(*record) : nullptr;
        return model ? gtk_tree_model_iter_n_children(model, nullptr) : 0;
    });
}

int GtkToolkit::SetState(int gadget, int value) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return 0;
        Quiet quiet(*this);
        GtkTreeModel* model = Model(*record);
        const bool inRange = model && value >= 0 && value < gtk_tree_model_iter_n_children(model, nullptr);
        switch (record->kind) {
            case Kind::ProgressBar: {
                record->position = std::clamp(value, record->minimum, record->maximum);
                const int span = record->maximum - record->minimum;
                gtk_progress_bar_set_fraction(
                    GTK_PROGRESS_BAR(record->widget),
                    span > 0 ? static_cast<double>(record->position - record->minimum) / span : 0.0);
                return 1;
            }
            case Kind::TextList: {
                GtkTreeView* view = GTK_TREE_VIEW(record->widget);
                GtkTreeSelection* selection = gtk_tree_view_get_selection(view);
                // Selecting a line scrolls it into view; -1 takes the selection
                // away and leaves the scroll position as it is.
                if (!inRange) {
                    gtk_tree_selection_unselect_all(selection);
                    return 1;
                }
                // The cursor goes along, as the caret of a list box does.
                OwnedPath path(gtk_tree_path_new_from_indices(value, -1));
                gtk_tree_view_set_cursor(view, path.get(), nullptr, FALSE);
                gtk_tree_view_scroll_to_cell(view, path.get(), nullptr, FALSE, 0.0f, 0.0f);
                return 1;
            }
            case Kind::DropDown:
                gtk_combo_box_set_active(GTK_COMBO_BOX(record->widget), inRange ? value : -1);
                return 1;
            default:
                return 0;
        }
    });
}

int GtkToolkit::GetState(int gadget) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return 0;
        switch (record->kind) {
            case Kind::ProgressBar:
                return record->position;
            case Kind::TextList:
            case Kind::ReportList:
                return SelectedRow(GTK_TREE_VIEW(record->widget));
            case Kind::DropDown:
                return gtk_combo_box_get_active(GTK_COMBO_BOX(record->widget));
            default:
                return 0;
        }
    });
}

std::string GtkToolkit::GetText(int gadget) {
    return OnUiThread([&]() -> std::string {
        GadgetRecord* record = LookupGadget(gadget);
        if (!record)
            return {};
        switch (record->kind) {
            case Kind::Button:
                return Copy(gtk_button_get_label(GTK_BUTTON(record->widget)));
            case Kind::Label:
                return Copy(gtk_label_get_text(GTK_LABEL(record->widget)));
            case Kind::TextField:
                return Copy(gtk_entry_get_text(GTK_ENTRY(record->widget)));
            case Kind::TextList:
                return ItemText(*record, SelectedRow(GTK_TREE_VIEW(record->widget)));
            case Kind::DropDown:
                return ItemText(*record, gtk_combo_box_get_active(GTK_COMBO_BOX(record->widget)));
            case Kind::ReportList:
                return record->title;
            default:
                return {};
        }
    });
}

std::string GtkToolkit::GetItemText(int gadget, int row) {
    return OnUiThread([&]() -> std::string {
        GadgetRecord* record = LookupGadget(gadget);
        return record ? ItemText(*record, row) : std::string();
    });
}

int GtkToolkit::GetItemState(int gadget, int row) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget, Kind::ReportList);
        GtkTreeIter iter;
        if (!record || !RowIter(*record, row, &iter))
            return 0;
        GtkTreeSelection* selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(record->widget));
        int result = gtk_tree_selection_iter_is_selected(selection, &iter) ? kItemSelected : 0;
        gboolean checked = FALSE;
        gtk_tree_model_get(Model(*record), &iter, 1, &checked, -1);
        if (record->toggle && checked)
            result |= kItemChecked;
        return result;
    });
}

int GtkToolkit::SetItemState(int gadget, int row, int value) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget, Kind::ReportList);
        GtkTreeIter iter;
        if (!record || !RowIter(*record, row, &iter))
            return 0;
        Quiet quiet(*this);
        GtkTreeSelection* selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(record->widget));
        if (value & kItemSelected)
            gtk_tree_selection_select_iter(selection, &iter);
        else
            gtk_tree_selection_unselect_iter(selection, &iter);
        if (record->toggle)
            gtk_list_store_set(GTK_LIST_STORE(Model(*record)), &iter, 1, (value & kItemChecked) != 0, -1);
        return 1;
    });
}

void* GtkToolkit::NativeHandle(int gadget) {
    return OnUiThread([&]() -> void* {
        GadgetRecord* record = LookupGadget(gadget);
        return record ? record->widget : nullptr;
    });
}

int GtkToolkit::FitColumn(int gadget) {
    return OnUiThread([&]() -> int {
        GadgetRecord* record = LookupGadget(gadget, Kind::ReportList);
        if (!record)
            return 0;
        // The smallest width: GtkTreeView widens its last column to exactly the
        // list's width, now and whenever the list is laid out again.
        gtk_tree_view_column_set_fixed_width(record->column, 1);
        return 1;
    });
}

void GtkToolkit::SetCancelGadget(int window, int gadget) {
    OnUiThread([&] {
        if (WindowRecord* record = LookupWindow(window))
            record->cancelGadget = gadget;
    });
}

// --- events ---

void GtkToolkit::Push(const Event& event) {
    events_.push_back(event);
}

void GtkToolkit::OnGadgetSignal(GObject* source, int type) {
    if (quiet_)
        return;
    GadgetRecord* gadget = LookupGadget(source);
    WindowRecord* window = gadget ? LookupWindow(gadget->window) : nullptr;
    // Nothing reaches a disabled control or window from the user.
    if (!window || !window->enabled || !gtk_widget_is_sensitive(gadget->widget))
        return;
    Push({kEventGadget, gadget->number, type, gadget->window});
}

void GtkToolkit::OnToggle(GtkCellRendererToggle* renderer, const char* path) {
    GadgetRecord* gadget = LookupGadget(G_OBJECT(renderer));
    GtkTreeIter iter;
    if (!gadget || !path || !gtk_tree_model_get_iter_from_string(Model(*gadget), &iter, path))
        return;
    WindowRecord* window = LookupWindow(gadget->window);
    if (!window || !window->enabled || !gtk_widget_is_sensitive(gadget->widget))
        return;
    // The renderer only reports the click; the check mark lives in the store.
    gboolean checked = FALSE;
    gtk_tree_model_get(Model(*gadget), &iter, 1, &checked, -1);
    gtk_list_store_set(GTK_LIST_STORE(Model(*gadget)), &iter, 1, !checked, -1);
    OnGadgetSignal(G_OBJECT(renderer), kGtkEventSelect);
}

void GtkToolkit::OnCloseBox(GtkWidget* window) {
    // The close box only reports; the program decides when the window goes.
    WindowRecord* record = LookupWindow(window);
    if (record && record->enabled)
        Push({kEventClose, 0, 0, record->number});
}

void GtkToolkit::PressCancel(const WindowRecord& window) {
    GadgetRecord* gadget = LookupGadget(window.cancelGadget);
    if (!gadget || gadget->window != window.number || !window.enabled || !gtk_widget_is_sensitive(gadget->widget))
        return;
    Push({kEventGadget, gadget->number, 0, window.number});
}

// Escape presses the window's cancel gadget. Tab and the arrow keys are GTK's:
// the focus moves through the controls in layout order. There is no default
// button, so Enter presses only a focused button. A disabled window takes no key.
bool GtkToolkit::OnKey(GtkWidget* window, const GdkEventKey& key) {
    WindowRecord* record = LookupWindow(window);
    if (!record)
        return false;
    if (!record->enabled)
        return true;
    if (key.keyval != GDK_KEY_Escape)
        return false;
    if (key.type == GDK_KEY_PRESS)
        PressCancel(*record);
    return true;
}

// The first control of a window in reading order takes the focus when nothing
// in it has one, as in a dialog box: gadgets are created after their window is
// shown, and GTK's own order needs a layout that may not have happened yet.
void GtkToolkit::FocusFirstControls() {
    for (auto& [number, window] : windows_) {
        if (gtk_window_get_focus(GTK_WINDOW(window.window.get())))
            continue;
        std::vector<const GadgetRecord*> order;
        for (const auto& [gadgetNumber, gadget] : gadgets_) {
            if (gadget.window == number)
                order.push_back(&gadget);
        }
        std::sort(order.begin(), order.end(), [](const GadgetRecord* a, const GadgetRecord* b) {
            return std::pair(a->y, a->x) < std::pair(b->y, b->x);
        });
        for (const GadgetRecord* gadget : order) {
            if (gtk_widget_is_sensitive(gadget->outer) && gtk_widget_child_focus(gadget->outer, GTK_DIR_TAB_FORWARD))
                break;
        }
    }
}

int GtkToolkit::WaitEvent(int timeoutMs) {
    // Only the loop's thread fetches events.
    if (!OnUiThreadNow())
        return kEventNone;
    if (!ready_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(timeoutMs, 0)));
        return kEventNone;
    }
    FocusFirstControls();
    bool expired = false;
    GSource* timer = g_timeout_source_new(static_cast<guint>(std::max(timeoutMs, 0)));
    g_source_set_callback(
        timer,
        [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired, nullptr);
    g_source_attach(timer, nullptr);
    // Dispatches what is ready; waits while nothing is, until the time is up.
    while (events_.empty() && !expired)
        g_main_context_iteration(nullptr, TRUE);
    g_source_destroy(timer);
    g_source_unref(timer);
    if (events_.empty())
        return kEventNone;
    last_ = events_.front();
    events_.pop_front();
    return last_.code;
}

int GtkToolkit::EventGadget() {
    return OnUiThread([&] { return last_.gadget; });
}

int GtkToolkit::EventType() {
    return OnUiThread([&] { return last_.type; });
}

int GtkToolkit::EventWindow() {
    return OnUiThread([&] { return last_.window; });
}

// --- dialogs ---

// The active window of the program owns a dialog; when none is active (no
// window manager, or another program in front), the window opened last does.
GtkWindow* GtkToolkit::DialogOwner() {
    for (auto& [number, window] : windows_) {
        if (gtk_window_is_active(GTK_WINDOW(window.window.get())))
            return GTK_WINDOW(window.window.get());
    }
    for (auto it = openOrder_.rbegin(); it != openOrder_.rend(); ++it) {
        WindowRecord* window = LookupWindow(*it);
        if (window && gtk_widget_get_visible(window->window.get()))
            return GTK_WINDOW(window->window.get());
    }
    return nullptr;
}

void GtkToolkit::WaitForDialog(DialogState& state) {
    if (OnUiThreadNow()) {
        // A nested loop, as a modal dialog runs: worker calls and drawing go on,
        // events of the program's windows wait in the queue.
        while (!state.Done())
            g_main_context_iteration(nullptr, TRUE);
        return;
    }
    std::unique_lock lock(state.lock);
    state.closed.wait(lock, [&] { return state.done; });
}

bool GtkToolkit::OpenMessage(const std::string& title,
                             const std::string& text,
                             unsigned flags,
                             const DialogHandle& state) {
    GtkMessageType type = GTK_MESSAGE_OTHER;
    const char* icon = nullptr;
    // The icon bits of the Windows message box flags.
    switch (flags & 0xF0) {
        case 0x10:
            type = GTK_MESSAGE_ERROR;
            icon = "dialog-error";
            break;
        case 0x20:
            type = GTK_MESSAGE_QUESTION;
            icon = "dialog-question";
            break;
        case 0x30:
            type = GTK_MESSAGE_WARNING;
            icon = "dialog-warning";
            break;
        case 0x40:
            type = GTK_MESSAGE_INFO;
            icon = "dialog-information";
            break;
        default:
            break;
    }
    GtkWindow* owner = DialogOwner();
    GtkWidget* dialog = gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, type, GTK_BUTTONS_OK, "%s", Utf8(text).c_str());
    if (!dialog)
        return false;
    gtk_window_set_title(GTK_WINDOW(dialog), Utf8(title).c_str());
    gtk_window_set_position(GTK_WINDOW(dialog), owner ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    if (icon)
        AddIcon(dialog, icon);
    WatchDialog(dialog, state, G_CALLBACK(OnMessageResponse));
    gtk_window_present(GTK_WINDOW(dialog));
    return true;
}

int GtkToolkit::ShowMessage(const std::string& title, const std::string& text, unsigned flags) {
    if (!ready_)
        return 0;
    auto state = std::make_shared<DialogState>();
    if (!OnUiThread([&] { return OpenMessage(title, text, flags, state); }))
        return 0;
    WaitForDialog(*state);
    return kMessageOk;
}

bool GtkToolkit::OpenFolderChooser(const std::string& title,
                                   const std::string& initialFolder,
                                   const DialogHandle& state) {
    GtkWindow* owner = DialogOwner();
    // The buttons in GTK's own words, translated as in its other dialogs.
    GtkWidget* dialog = gtk_file_chooser_dialog_new(Utf8(title).c_str(), owner, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
                                                    g_dgettext("gtk30", "_Cancel"), GTK_RESPONSE_CANCEL,
                                                    g_dgettext("gtk30", "_Select"), GTK_RESPONSE_ACCEPT, nullptr);
    if (!dialog)
        return false;
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog), owner ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dialog), TRUE);
    std::string start = initialFolder;
    while (start.size() > 1 && start.back() == '/')
        start.pop_back();
    // Opened in the initial folder: Select at once returns that folder.
    if (!start.empty())
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), start.c_str());
    WatchDialog(dialog, state, G_CALLBACK(OnFolderResponse));
    gtk_window_present(GTK_WINDOW(dialog));
    return true;
}

std::string GtkToolkit::FolderRequester(const std::string& title, const std::string& initialFolder) {
    if (!ready_)
        return {};
    auto state = std::make_shared<DialogState>();
    if (!OnUiThread([&] { return OpenFolderChooser(title, initialFolder, state); }))
        return {};
    WaitForDialog(*state);
    std::string folder;
    {
        std::lock_guard guard(state->lock);
        folder = state->folder;
    }
    if (!folder.empty() && folder.back() != '/')
        folder += '/';
    return folder;
}

void GtkToolkit::RunAtomically(const std::function<void()>& fn) {
    // Nothing in the toolkit runs the loop inside an operation, so no other
    // call is dispatched on the loop's thread until `fn` returns.
    OnUiThread([&] { fn(); });
}

// --- signal entry points ---

template <class F>
void Guarded(F&& f) noexcept {
    try {
        f();
    } catch (...) {
    }
}

GtkToolkit& ToolkitOf(gpointer self) {
    return *static_cast<GtkToolkit*>(self);
}

void OnClicked(GtkButton* button, gpointer self) {
    Guarded([&] { ToolkitOf(self).OnGadgetSignal(G_OBJECT(button), 0); });
}

void OnSelectionChanged(GtkTreeSelection* selection, gpointer self) {
    Guarded([&] {
        ToolkitOf(self).OnGadgetSignal(G_OBJECT(gtk_tree_selection_get_tree_view(selection)), kGtkEventSelect);
    });
}

void OnRowActivated(GtkTreeView* view, GtkTreePath*, GtkTreeViewColumn*, gpointer self) {
    Guarded([&] { ToolkitOf(self).OnGadgetSignal(G_OBJECT(view), kGtkEventActivate); });
}

void OnComboChanged(GtkComboBox* combo, gpointer self) {
    Guarded([&] { ToolkitOf(self).OnGadgetSignal(G_OBJECT(combo), kGtkEventSelect); });
}

void OnToggled(GtkCellRendererToggle* renderer, gchar* path, gpointer self) {
    Guarded([&] { ToolkitOf(self).OnToggle(renderer, path); });
}

gboolean OnDelete(GtkWidget* window, GdkEvent*, gpointer self) {
    Guarded([&] { ToolkitOf(self).OnCloseBox(window); });
    return TRUE;
}

gboolean OnKeyEvent(GtkWidget* window, GdkEventKey* key, gpointer self) {
    bool handled = false;
    Guarded([&] { handled = key && ToolkitOf(self).OnKey(window, *key); });
    return handled;
}

}  // namespace

std::unique_ptr<Toolkit> CreateGtkToolkit(const char* programName) {
    return std::make_unique<GtkToolkit>(InitialiseGtk(programName));
}

}  // namespace zefo::ui
