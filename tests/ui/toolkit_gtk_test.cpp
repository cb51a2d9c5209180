// The GTK toolkit on real windows under Xvfb (the display in ZEFO_TEST_DISPLAY,
// else DISPLAY). Clicks and keys come from the X server's test extension.
#include "ui/toolkit_gtk.h"

#include <gtest/gtest.h>

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <X11/extensions/XTest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/ids.h"
#include "app/layout.h"
#include "common/environment.h"
#include "common/temp_dir.h"
#include "support/translations.h"

// Fontconfig keeps its pattern caches to the end of the process; the leak check
// of the sanitizer build is told so and stays on for everything else.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace zefo::ui {
namespace {

// The program's windows take their gadget numbers and places from the program's
// own layout; the cases that try the toolkit on other layouts give their own.
using namespace zefo::layout;
constexpr unsigned kMainFlags = kMainWindowFlags;
constexpr unsigned kDialogFlags = kSecondaryWindowFlags;
using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct SeenEvent {
    int code = kEventNone, gadget = 0, type = 0, window = 0;
    bool operator==(const SeenEvent&) const = default;
};
std::ostream& operator<<(std::ostream& out, const SeenEvent& e) {
    return out << "{" << e.code << ", gadget " << e.gadget << ", type " << e.type << ", window " << e.window << "}";
}
const SeenEvent kNoEvent{};
SeenEvent Click(int gadget, int window) {
    return {kEventGadget, gadget, 0, window};
}

GtkWidget* Widget(Toolkit& ui, int gadget) {
    return static_cast<GtkWidget*>(ui.NativeHandle(gadget));
}

// The widget in the window's layout (a list's scrolled window).
GtkWidget* Placed(Toolkit& ui, int gadget) {
    GtkWidget* widget = Widget(ui, gadget);
    while (widget && gtk_widget_get_parent(widget) && !GTK_IS_FIXED(gtk_widget_get_parent(widget)))
        widget = gtk_widget_get_parent(widget);
    return widget;
}

GtkWidget* TopLevel(Toolkit& ui, int gadget) {
    return Widget(ui, gadget) ? gtk_widget_get_toplevel(Widget(ui, gadget)) : nullptr;
}

// The client area's size in the layout's pixels: the desktop's font may scale it.
double ScaleOf(GtkWidget* window, int layoutWidth) {
    return gtk_widget_get_allocated_width(gtk_bin_get_child(GTK_BIN(window))) / static_cast<double>(layoutWidth);
}

// Runs the event loop as the program does until `done` holds; false on time-out.
bool PumpUntil(Toolkit& ui,
               const std::function<bool()>& done,
               int timeoutMs = 2000,
               std::vector<SeenEvent>* seen = nullptr) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        if (int code = ui.WaitEvent(10); code != kEventNone && seen)
            seen->push_back({code, ui.EventGadget(), ui.EventType(), ui.EventWindow()});
    }
    return true;
}

SeenEvent NextEvent(Toolkit& ui, int timeoutMs = 2000) {
    std::vector<SeenEvent> seen;
    PumpUntil(
        ui, [&] { return !seen.empty(); }, timeoutMs, &seen);
    return seen.empty() ? SeenEvent{} : seen.front();
}

// Pumps until `widget` is shown and laid out, and a little longer for late changes.
bool Settle(Toolkit& ui, GtkWidget* widget) {
    bool shown =
        PumpUntil(ui, [&] { return gtk_widget_get_mapped(widget) && gtk_widget_get_allocated_width(widget) > 1; });
    auto until = Clock::now() + std::chrono::milliseconds(100);
    PumpUntil(ui, [&] { return Clock::now() > until; });
    return shown;
}

GdkRectangle PlaceOf(Toolkit& ui, int gadget) {
    GtkWidget* placed = Placed(ui, gadget);
    GdkRectangle place{-1, -1, gtk_widget_get_allocated_width(placed), gtk_widget_get_allocated_height(placed)};
    gtk_widget_translate_coordinates(placed, gtk_widget_get_parent(placed), 0, 0, &place.x, &place.y);
    return place;
}

// A left click at (x, y) in `widget`, or at its middle, as a mouse makes it.
bool ClickAt(GtkWidget* widget, int x = -1, int y = -1) {
    GtkWidget* top = gtk_widget_get_toplevel(widget);
    if (x < 0) {
        x = gtk_widget_get_allocated_width(widget) / 2;
        y = gtk_widget_get_allocated_height(widget) / 2;
    }
    int topX = 0, topY = 0, originX = 0, originY = 0;
    if (!gtk_widget_translate_coordinates(widget, top, x, y, &topX, &topY))
        return false;
    gdk_window_get_origin(gtk_widget_get_window(top), &originX, &originY);
    Display* display = GDK_WINDOW_XDISPLAY(gtk_widget_get_window(top));
    bool sent = XTestFakeMotionEvent(display, -1, originX + topX, originY + topY, CurrentTime) &&
                XTestFakeButtonEvent(display, 1, True, CurrentTime) &&
                XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XFlush(display);
    return sent;
}

// Gives `window` the keyboard focus (no window manager does it here) and types `keyval`.
bool PressKey(Toolkit& ui, GtkWidget* window, guint keyval) {
    GdkWindow* native = gtk_widget_get_window(window);
    Display* display = GDK_WINDOW_XDISPLAY(native);
    XSetInputFocus(display, GDK_WINDOW_XID(native), RevertToParent, CurrentTime);
    XFlush(display);
    if (!PumpUntil(ui, [&] { return gtk_window_is_active(GTK_WINDOW(window)) != FALSE; }))
        return false;
    const KeyCode code = XKeysymToKeycode(display, keyval);
    bool sent = code && XTestFakeKeyEvent(display, code, True, CurrentTime) &&
                XTestFakeKeyEvent(display, code, False, CurrentTime);
    XFlush(display);
    return sent;
}

// What a window manager sends when its close button is pressed.
void PressCloseBox(GtkWidget* window) {
    GdkWindow* native = gtk_widget_get_window(window);
    Display* display = GDK_WINDOW_XDISPLAY(native);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = GDK_WINDOW_XID(native);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, GDK_WINDOW_XID(native), False, NoEventMask, &event);
    XFlush(display);
}

bool HasFocus(Toolkit& ui, int gadget) {
    GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(TopLevel(ui, gadget)));
    return focus && (focus == Placed(ui, gadget) || gtk_widget_is_ancestor(focus, Placed(ui, gadget)));
}

bool RowInView(GtkWidget* view, int row) {
    GdkRectangle visible{}, cell{};
    gtk_tree_view_get_visible_rect(GTK_TREE_VIEW(view), &visible);
    GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_view_get_background_area(GTK_TREE_VIEW(view), path, nullptr, &cell);
    gtk_tree_path_free(path);
    int top = 0;
    gtk_tree_view_convert_bin_window_to_tree_coords(GTK_TREE_VIEW(view), 0, cell.y, nullptr, &top);
    // Rows that were not laid out yet all claim the top.
    const bool laidOut = cell.height > 0 && (row == 0 || top > 0);
    return laidOut && top >= visible.y && top + cell.height <= visible.y + visible.height;
}

// A visible toplevel of this process that `match` accepts.
GtkWidget* FindWindow(const std::function<bool(GtkWidget*)>& match) {
    GList* windows = gtk_window_list_toplevels();
    GtkWidget* found = nullptr;
    for (GList* it = windows; it && !found; it = it->next) {
        if (gtk_widget_get_visible(GTK_WIDGET(it->data)) && match(GTK_WIDGET(it->data)))
            found = GTK_WIDGET(it->data);
    }
    g_list_free(windows);
    return found;
}

GtkWidget* FindDialog(GType type) {
    return FindWindow([type](GtkWidget* w) { return G_TYPE_CHECK_INSTANCE_TYPE(w, type); });
}

void Press(GtkWidget* dialog, GtkResponseType response) {
    gtk_button_clicked(GTK_BUTTON(gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response)));
}

// Calls `step` every 20 ms on the loop's thread, also while a dialog blocks the
// test's thread, until it returns true; after 10 s it destroys every dialog.
class Responder {
  public:
    explicit Responder(std::function<bool()> step) : step_(std::move(step)), start_(Clock::now()) {
        source_ = g_timeout_add(20, &Responder::Tick, this);
    }
    ~Responder() {
        if (source_)
            g_source_remove(source_);
    }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;
    bool answered() const { return answered_; }

  private:
    static gboolean Tick(gpointer self) {
        auto* responder = static_cast<Responder*>(self);
        responder->answered_ = responder->step_();
        if (!responder->answered_ && MillisecondsSince(responder->start_) < 10000)
            return G_SOURCE_CONTINUE;
        while (!responder->answered_ && FindDialog(GTK_TYPE_DIALOG))
            gtk_widget_destroy(FindDialog(GTK_TYPE_DIALOG));
        responder->source_ = 0;
        return G_SOURCE_REMOVE;
    }

    std::function<bool()> step_;
    Clock::time_point start_;
    guint source_ = 0;
    bool answered_ = false;
};

// A worker thread that may wait for the loop or in a dialog: on the way out the
// loop runs and every dialog is closed until the worker has ended.
class Worker {
  public:
    Worker(Toolkit& ui, std::function<void()> body)
        : ui_(ui), thread_([this, body = std::move(body)] {
              body();
              done_.store(true);
          }) {}
    ~Worker() {
        PumpUntil(
            ui_,
            [&] {
                while (GtkWidget* dialog = FindDialog(GTK_TYPE_DIALOG))
                    gtk_widget_destroy(dialog);
                return done_.load();
            },
            10000);
        thread_.join();
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    bool done() const { return done_.load(); }

  private:
    Toolkit& ui_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

class GtkToolkitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* display = std::getenv("ZEFO_TEST_DISPLAY"); display && *display)
            test::SetEnvironment("DISPLAY", display);
        // No accessibility or session bus runs beside Xvfb: the folder chooser
        // keeps its settings in memory.
        test::SetEnvironment("NO_AT_BRIDGE", "1");
        test::SetEnvironment("GSETTINGS_BACKEND", "memory");
        toolkit = CreateGtkToolkit();
        ASSERT_NE(gdk_display_get_default(), nullptr) << "no X display: set ZEFO_TEST_DISPLAY or DISPLAY";
    }
    void TearDown() override { toolkit.reset(); }

    Toolkit& ui() { return *toolkit; }
    // The options window of the program, with a text field and two buttons.
    GtkWidget* OpenOptions() {
        OpenWindow(ui(), optionsWindow, kOptionsWindow, "Options", kDialogFlags);
        Label(ui(), languageLabel, kLanguageLabel, "Language:");
        Button(ui(), saveButton, kSaveButton, "Save");
        Button(ui(), cancelButton, kCancelButton, "Cancel");
        TextField(ui(), serverField, kServerField, "updates.example");
        GtkWidget* window = TopLevel(ui(), saveButton);
        EXPECT_TRUE(window && Settle(ui(), window));
        return window;
    }
    // The updater's main window, its status list shorter when `listHeight` is given.
    GtkWidget* OpenMain(int listHeight = kUpdaterStatusList.height) {
        OpenWindow(ui(), mainWindow, kMainWindow, "Zefo Updater", kMainFlags);
        Button(ui(), actionButton, kUpdateButton, "Update");
        Button(ui(), optionsButton, kUpdaterOptionsButton, "Options");
        Place list = kUpdaterStatusList;
        list.height = listHeight;
        TextList(ui(), statusList, list);
        ProgressBar(ui(), progressBar, kProgressBar, 0, 100);
        GtkWidget* window = TopLevel(ui(), actionButton);
        EXPECT_TRUE(window && Settle(ui(), window));
        return window;
    }

    std::unique_ptr<Toolkit> toolkit;
};

TEST_F(GtkToolkitTest, WindowsAreCentredFixedTopLevelWindowsWithTheGivenClientArea) {
    GtkWidget* main = OpenMain();
    ASSERT_NE(main, nullptr);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(main)), "Zefo Updater");
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(main)), nullptr);
    EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(main)));
    // The client area as given, scaled as the desktop's font asks.
    const int width = gtk_widget_get_allocated_width(main);
    const double scale = ScaleOf(main, kMainWindow.width);
    EXPECT_GE(scale, 1.0);
    EXPECT_LT(scale, 2.0);
    EXPECT_NEAR(gtk_widget_get_allocated_height(main), kMainWindow.height * scale, 1);
    GdkRectangle work{};
    gdk_monitor_get_workarea(gdk_display_get_primary_monitor(gdk_display_get_default()), &work);
    int x = 0, y = 0;
    gdk_window_get_origin(gtk_widget_get_window(main), &x, &y);
    EXPECT_NEAR(x + width / 2, work.x + work.width / 2, 1);
    EXPECT_NEAR(y + gtk_widget_get_allocated_height(main) / 2, work.y + work.height / 2, 1);
    // The window manager learns which buttons the frame has.
    GdkWMDecoration decorations{};
    ASSERT_TRUE(gdk_window_get_decorations(gtk_widget_get_window(main), &decorations));
    EXPECT_TRUE(decorations & GDK_DECOR_MINIMIZE);
    EXPECT_FALSE(decorations & (GDK_DECOR_MAXIMIZE | GDK_DECOR_RESIZEH));

    // A second window has no minimise box; titles change; keeping on top
    // neither moves nor sizes.
    GtkWidget* options = OpenOptions();
    EXPECT_NE(options, main);
    ASSERT_TRUE(gdk_window_get_decorations(gtk_widget_get_window(options), &decorations));
    EXPECT_FALSE(decorations & GDK_DECOR_MINIMIZE);
    ui().SetWindowTitle(optionsWindow, "Optionen \xe2\x80\x93 \xc3\xa4");
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(options)), "Optionen \xe2\x80\x93 \xc3\xa4");
    ui().KeepOnTop(mainWindow, 1);
    ui().KeepOnTop(mainWindow, 0);
    Settle(ui(), main);
    int afterX = 0, afterY = 0;
    gdk_window_get_origin(gtk_widget_get_window(main), &afterX, &afterY);
    EXPECT_EQ(std::pair(afterX, afterY), std::pair(x, y));
    EXPECT_EQ(gtk_widget_get_allocated_width(main), width);

    // Closing destroys the window and its gadgets; their numbers are unknown
    // again, and new gadgets go to the window opened before.
    ui().CloseWindow(optionsWindow);
    EXPECT_EQ(FindWindow([&](GtkWidget* w) { return w == options; }), nullptr);
    EXPECT_EQ(ui().NativeHandle(saveButton), nullptr);
    EXPECT_EQ(ui().DisableGadget(saveButton, 1), 0);
    EXPECT_EQ(ui().GetText(saveButton), "");
    ASSERT_NE(Button(ui(), filesButton, kFilesButton, "Files"), 0);
    EXPECT_EQ(TopLevel(ui(), filesButton), main);
    // Opening a number that is open replaces that window.
    ASSERT_NE(ui().OpenWindow(mainWindow, 0, 0, 200, 100, "Again", kMainFlags), 0);
    EXPECT_EQ(FindWindow([&](GtkWidget* w) { return w == main; }), nullptr);
    EXPECT_EQ(ui().NativeHandle(actionButton), nullptr);
    ui().CloseWindow(mainWindow);
    EXPECT_EQ(ui().ButtonGadget(5, 0, 0, 10, 10, "x"), 0);
}

TEST_F(GtkToolkitTest, GadgetsTakeExactlyTheirPlacesAndTabFollowsTheLayout) {
    ASSERT_NE(ui().OpenWindow(1, 0, 0, 400, 440, "Gadgets", kMainFlags), 0);
    // Created out of layout order, with texts longer than their places.
    ui().DropDownGadget(1, 5, 5, 390, 20);
    ui().ButtonGadget(2, 4, 415, 128, 20, "Install a game with a very long name");
    ui().TextListGadget(5, 5, 30, 390, 100);
    ui().ProgressBarGadget(6, 5, 390, 390, 20, 0, 100);
    ui().LabelGadget(7, 5, 135, 60, 20, "Aktualisierte Dateien:");
    ui().ReportListGadget(9, 5, 155, 290, 100, "", 285, kReportNoHeader | kReportCheckBoxes);
    ui().ReportListGadget(10, 5, 260, 290, 100, "Path", 285, 0);
    ui().TextFieldGadget(15, 5, 365, 60, 20, "updates.example.with.a.long.name");
    ui().AddItem(1, -1, "A game whose name is much longer than the drop-down list is wide, really");
    ui().SetState(1, 0);
    GtkWidget* window = TopLevel(ui(), 2);
    ASSERT_TRUE(Settle(ui(), window));

    EXPECT_TRUE(GTK_IS_COMBO_BOX_TEXT(Widget(ui(), 1)));
    EXPECT_FALSE(gtk_combo_box_get_has_entry(GTK_COMBO_BOX(Widget(ui(), 1))));
    EXPECT_TRUE(gtk_tree_view_get_fixed_height_mode(GTK_TREE_VIEW(Widget(ui(), 5))));
    EXPECT_FALSE(gtk_tree_view_get_headers_visible(GTK_TREE_VIEW(Widget(ui(), 9))));
    EXPECT_TRUE(gtk_tree_view_get_headers_visible(GTK_TREE_VIEW(Widget(ui(), 10))));
    EXPECT_EQ(ui().GetText(10), "Path");
    EXPECT_TRUE(GTK_IS_ENTRY(Widget(ui(), 15)));

    // Every control has exactly its place in the layout's scale, whatever its
    // text, and the text fits its height: the theme's paddings push nothing out.
    const double scale = ScaleOf(window, 400);
    EXPECT_NEAR(gtk_widget_get_allocated_height(window), 440 * scale, 1);
    struct Place {
        int gadget, x, y, width, height;
    };
    for (Place p : {Place{1, 5, 5, 390, 20}, Place{2, 4, 415, 128, 20}, Place{5, 5, 30, 390, 100},
                    Place{6, 5, 390, 390, 20}, Place{7, 5, 135, 60, 20}, Place{9, 5, 155, 290, 100},
                    Place{10, 5, 260, 290, 100}, Place{15, 5, 365, 60, 20}}) {
        GdkRectangle place = PlaceOf(ui(), p.gadget);
        EXPECT_NEAR(place.x, p.x * scale, 1) << p.gadget;
        EXPECT_NEAR(place.y, p.y * scale, 1) << p.gadget;
        EXPECT_NEAR(place.width, p.width * scale, 1) << p.gadget;
        EXPECT_NEAR(place.height, p.height * scale, 1) << p.gadget;
    }
    int textHeight = 0;
    PangoLayout* layout = gtk_widget_create_pango_layout(Widget(ui(), 2), "Ag");
    pango_layout_get_pixel_size(layout, nullptr, &textHeight);
    g_object_unref(layout);
    EXPECT_GE(gtk_widget_get_allocated_height(gtk_bin_get_child(GTK_BIN(Widget(ui(), 2)))), textHeight);

    // Tab follows the layout from top to bottom, whatever the creation order.
    std::vector<int> order;
    for (int i = 0; i < 6; ++i) {
        for (int gadget : {1, 2, 5, 9, 10, 15}) {
            if (HasFocus(ui(), gadget) && (order.empty() || order.back() != gadget))
                order.push_back(gadget);
        }
        GtkWidget* before = gtk_window_get_focus(GTK_WINDOW(window));
        ASSERT_TRUE(PressKey(ui(), window, GDK_KEY_Tab));
        PumpUntil(ui(), [&] { return gtk_window_get_focus(GTK_WINDOW(window)) != before; });
    }
    EXPECT_EQ(order, (std::vector<int>{1, 5, 9, 10, 15, 2}));

    // A number used again replaces the old control.
    GtkWidget* old = Widget(ui(), 2);
    ASSERT_NE(ui().ButtonGadget(2, 4, 415, 128, 20, "Again"), 0);
    EXPECT_NE(Widget(ui(), 2), old);
    GList* children = gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(Placed(ui(), 2))));
    EXPECT_EQ(g_list_length(children), 8u);
    g_list_free(children);
    EXPECT_EQ(ui().GetText(2), "Again");
}

TEST_F(GtkToolkitTest, TextListKeepsTheLastLineInViewAndScrollsSideways) {
    OpenMain(100);
    GtkWidget* list = Widget(ui(), statusList);
    for (int i = 0; i < 40; ++i) {
        ASSERT_NE(ui().AddItem(statusList, -1, "line " + std::to_string(i)), 0);
        ui().SetState(statusList, ui().CountItems(statusList) - 1);
        ui().SetState(statusList, -1);
    }
    EXPECT_EQ(ui().CountItems(statusList), 40);
    EXPECT_EQ(ui().GetState(statusList), -1);
    EXPECT_EQ(ui().GetText(statusList), "");
    EXPECT_TRUE(PumpUntil(ui(), [&] { return RowInView(list, 39); }));
    EXPECT_FALSE(RowInView(list, 0));
    GtkScrolledWindow* frame = GTK_SCROLLED_WINDOW(Placed(ui(), statusList));
    EXPECT_TRUE(gtk_widget_get_visible(gtk_scrolled_window_get_vscrollbar(frame)));
    // The first control took the focus without selecting a line.
    EXPECT_TRUE(HasFocus(ui(), statusList));
    EXPECT_EQ(ui().GetState(statusList), -1);

    // Insertion at a position, appending past the end, and UTF-8 both ways.
    ASSERT_NE(ui().AddItem(statusList, 0, "first \xc3\xa4\xc3\xb6\xc3\xbc \xe2\x9c\x93"), 0);
    ASSERT_NE(ui().AddItem(statusList, 1000, "appended"), 0);
    EXPECT_EQ(ui().GetItemText(statusList, 41), "appended");
    EXPECT_EQ(ui().GetItemText(statusList, 42), "");
    ui().SetState(statusList, 0);
    EXPECT_EQ(ui().GetState(statusList), 0);
    EXPECT_EQ(ui().GetText(statusList), "first \xc3\xa4\xc3\xb6\xc3\xbc \xe2\x9c\x93");
    EXPECT_TRUE(PumpUntil(ui(), [&] { return RowInView(list, 0); }));
    ui().SetState(statusList, 500);
    EXPECT_EQ(ui().GetState(statusList), -1);

    // A line wider than the list makes it scroll sideways; clearing resets that.
    GtkAdjustment* sideways = gtk_scrollable_get_hadjustment(GTK_SCROLLABLE(list));
    auto wide = [&] { return gtk_adjustment_get_upper(sideways) > gtk_adjustment_get_page_size(sideways); };
    Settle(ui(), list);
    EXPECT_FALSE(wide());
    ASSERT_NE(ui().AddItem(statusList, -1, std::string(300, 'W')), 0);
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return gtk_adjustment_get_upper(sideways) > 3 * gtk_adjustment_get_page_size(sideways); }));
    EXPECT_TRUE(gtk_widget_get_visible(gtk_scrolled_window_get_hscrollbar(frame)));
    ASSERT_NE(ui().ClearItems(statusList), 0);
    EXPECT_EQ(ui().CountItems(statusList), 0);
    EXPECT_TRUE(PumpUntil(ui(), [&] { return !wide(); }));
}

TEST_F(GtkToolkitTest, DropDownTextFieldProgressAndReportListOperations) {
    ASSERT_NE(ui().OpenWindow(2, 0, 0, 300, 400, "Files", kDialogFlags), 0);
    ui().DropDownGadget(16, 70, 5, 225, 20);
    ui().TextFieldGadget(15, 70, 30, 225, 20, "h\xc3\xb6st");
    ui().ProgressBarGadget(6, 5, 55, 290, 20, 0, 100);
    // A column wider than the list, until FitColumn.
    ui().ReportListGadget(9, 5, 80, 290, 150, "", 600, kReportNoHeader | kReportCheckBoxes);

    // Drop-down: nothing selected at first, then entries by index.
    EXPECT_EQ(ui().GetState(16), -1);
    for (const char* language : {"Deutsch", "English", "Suomi"})
        ASSERT_NE(ui().AddItem(16, -1, language), 0);
    EXPECT_EQ(ui().CountItems(16), 3);
    EXPECT_EQ(ui().GetText(16), "");
    ui().SetState(16, 2);
    EXPECT_EQ(ui().GetState(16), 2);
    EXPECT_EQ(ui().GetText(16), "Suomi");
    ui().SetState(16, 7);
    EXPECT_EQ(ui().GetText(16), "");
    ui().SetState(16, 0);
    ASSERT_NE(ui().ClearItems(16), 0);
    EXPECT_EQ(ui().CountItems(16), 0);
    EXPECT_EQ(ui().GetState(16), -1);

    // Text field as the user left it; progress kept in its range.
    EXPECT_EQ(ui().GetText(15), "h\xc3\xb6st");
    gtk_entry_set_text(GTK_ENTRY(Widget(ui(), 15)), " other.host \xc3\xa5 ");
    EXPECT_EQ(ui().GetText(15), " other.host \xc3\xa5 ");
    EXPECT_NE(ui().SetState(6, 42), 0);
    EXPECT_EQ(ui().GetState(6), 42);
    EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(Widget(ui(), 6))), 0.42);
    ui().SetState(6, 250);
    EXPECT_EQ(ui().GetState(6), 100);

    // Report list: the highlighted row and the check mark as bits 1 and 2.
    for (const char* path : {"data/a.pak", "data/b.pak", "bin/Update.exe"})
        ASSERT_NE(ui().AddItem(9, -1, path), 0);
    EXPECT_EQ(ui().GetItemText(9, 2), "bin/Update.exe");
    EXPECT_EQ(ui().GetItemText(9, 3), "");
    ASSERT_NE(ui().SetItemState(9, 2, kItemChecked), 0);
    EXPECT_EQ(ui().GetItemState(9, 2), kItemChecked);
    EXPECT_EQ(ui().GetItemState(9, 1), 0);
    // The user highlights rows and clears a box with the mouse.
    GtkTreeView* view = GTK_TREE_VIEW(Widget(ui(), 9));
    GtkTreeViewColumn* column = gtk_tree_view_get_column(view, 0);
    auto clickRow = [&](int row, bool onBox) {
        GdkRectangle cell{};
        GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
        gtk_tree_view_get_cell_area(view, path, column, &cell);
        gtk_tree_path_free(path);
        int x = 0, y = 0;
        gtk_tree_view_convert_bin_window_to_widget_coords(view, cell.x + (onBox ? 10 : 150), cell.y + cell.height / 2,
                                                          &x, &y);
        return ClickAt(GTK_WIDGET(view), x, y);
    };
    std::vector<SeenEvent> seen;
    Settle(ui(), GTK_WIDGET(view));
    ASSERT_TRUE(clickRow(1, false));
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return ui().GetItemState(9, 1) == kItemSelected; }, 2000, &seen));
    EXPECT_EQ(ui().GetState(9), 1);
    ASSERT_TRUE(clickRow(2, false));
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return ui().GetItemState(9, 2) == (kItemSelected | kItemChecked); }, 2000));
    EXPECT_EQ(ui().GetItemState(9, 1), 0);
    ASSERT_TRUE(clickRow(2, true));
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return ui().GetItemState(9, 2) == kItemSelected; }, 2000, &seen));
    EXPECT_EQ(seen.back(), (SeenEvent{kEventGadget, 9, kGtkEventSelect, 2}));
    // Setting 2 checks the box and leaves the row unselected; no event for that.
    ASSERT_NE(ui().SetItemState(9, 2, kItemChecked), 0);
    EXPECT_EQ(ui().GetItemState(9, 2), kItemChecked);
    EXPECT_EQ(ui().SetItemState(9, -1, kItemChecked), 0);
    EXPECT_EQ(NextEvent(ui(), 200), kNoEvent);

    // The column fills the list's width.
    GdkRectangle visible{};
    gtk_tree_view_get_visible_rect(view, &visible);
    EXPECT_GT(gtk_tree_view_column_get_width(column), visible.width);
    ASSERT_NE(ui().FitColumn(9), 0);
    EXPECT_TRUE(PumpUntil(ui(), [&] {
        gtk_tree_view_get_visible_rect(view, &visible);
        return gtk_tree_view_column_get_width(column) == visible.width;
    }));
    ASSERT_NE(ui().ClearItems(9), 0);
    EXPECT_EQ(ui().CountItems(9), 0);

    // Disabling and enabling; unknown numbers and kinds do nothing.
    EXPECT_NE(ui().DisableGadget(16, 1), 0);
    EXPECT_FALSE(gtk_widget_is_sensitive(Widget(ui(), 16)));
    EXPECT_NE(ui().DisableGadget(16, 0), 0);
    EXPECT_TRUE(gtk_widget_is_sensitive(Widget(ui(), 16)));
    EXPECT_EQ(ui().AddItem(99, -1, "x") + ui().AddItem(15, -1, "x") + ui().CountItems(99) + ui().SetState(99, 1) +
                  ui().GetState(99) + ui().GetItemState(99, 0) + ui().FitColumn(15),
              0);
    EXPECT_EQ(ui().NativeHandle(99), nullptr);
}

TEST_F(GtkToolkitTest, ClicksCloseBoxesAndKeysBecomeEvents) {
    GtkWidget* main = OpenMain();
    EXPECT_EQ(NextEvent(ui(), 100), kNoEvent);
    ASSERT_TRUE(ClickAt(Widget(ui(), optionsButton)));
    EXPECT_EQ(NextEvent(ui()), Click(optionsButton, mainWindow));

    // A disabled button, or a button or close box of a disabled window, raises nothing.
    ui().DisableGadget(actionButton, 1);
    ClickAt(Widget(ui(), actionButton));
    EXPECT_EQ(NextEvent(ui(), 200), kNoEvent);
    ui().DisableGadget(actionButton, 0);
    ui().DisableWindow(mainWindow, 1);
    ClickAt(Widget(ui(), actionButton));
    PressCloseBox(main);
    EXPECT_EQ(NextEvent(ui(), 200), kNoEvent);
    ui().DisableWindow(mainWindow, 0);
    ClickAt(Widget(ui(), actionButton));
    EXPECT_EQ(NextEvent(ui()), Click(actionButton, mainWindow));

    // The close box only reports; the window stays.
    PressCloseBox(main);
    EXPECT_EQ(NextEvent(ui()), (SeenEvent{kEventClose, 0, 0, mainWindow}));
    EXPECT_TRUE(gtk_widget_get_visible(main));

    // A line picked by the user is a gadget event of another type, never a click.
    ui().AddItem(statusList, -1, "one");
    ui().AddItem(statusList, -1, "two");
    Settle(ui(), main);
    ASSERT_TRUE(ClickAt(Widget(ui(), statusList), 50, 5));
    EXPECT_EQ(NextEvent(ui()), (SeenEvent{kEventGadget, statusList, kGtkEventSelect, mainWindow}));
    EXPECT_EQ(ui().GetState(statusList), 0);

    // The first control has the focus, as in a dialog box. Escape: nothing
    // without a cancel gadget, then the cancel gadget's click.
    GtkWidget* options = OpenOptions();
    EXPECT_TRUE(HasFocus(ui(), serverField));
    ASSERT_TRUE(PressKey(ui(), options, GDK_KEY_Escape));
    EXPECT_EQ(NextEvent(ui(), 200), kNoEvent);
    ui().SetCancelGadget(optionsWindow, cancelButton);
    ASSERT_TRUE(PressKey(ui(), options, GDK_KEY_Escape));
    EXPECT_EQ(NextEvent(ui()), Click(cancelButton, optionsWindow));
    // Enter in the field presses nothing; Tab moves on to the buttons, where
    // Enter presses the focused one.
    ASSERT_TRUE(PressKey(ui(), options, GDK_KEY_Return));
    EXPECT_EQ(NextEvent(ui(), 200), kNoEvent);
    ASSERT_TRUE(PressKey(ui(), options, GDK_KEY_Tab));
    ASSERT_TRUE(PumpUntil(ui(), [&] { return HasFocus(ui(), saveButton); }));
    ASSERT_TRUE(PressKey(ui(), options, GDK_KEY_Tab));
    ASSERT_TRUE(PumpUntil(ui(), [&] { return HasFocus(ui(), cancelButton); }));
    ASSERT_TRUE(PressKey(ui(), options, GDK_KEY_Return));
    EXPECT_EQ(NextEvent(ui()), Click(cancelButton, optionsWindow));

    // Disabling the focused control hands the focus on instead of losing it.
    ui().DisableGadget(cancelButton, 1);
    EXPECT_FALSE(HasFocus(ui(), cancelButton));
    EXPECT_NE(gtk_window_get_focus(GTK_WINDOW(options)), nullptr);
    // Events of a window closed before they were fetched are dropped with it.
    ClickAt(Widget(ui(), saveButton));
    PumpUntil(
        ui(), [] { return false; }, 300);
    ui().CloseWindow(optionsWindow);
    EXPECT_EQ(NextEvent(ui(), 200), kNoEvent);
}

TEST_F(GtkToolkitTest, CallsFromWorkersRunOnTheLoopThreadOneUnitAtATime) {
    OpenMain();
    const auto loopThread = std::this_thread::get_id();
    constexpr int kLines = 300;
    std::atomic<int> ranElsewhere{0}, interleaved{0};
    auto work = [&](int first) {
        for (int i = first; i < kLines; i += 2) {
            ui().RunAtomically([&, i] {
                ranElsewhere += std::this_thread::get_id() != loopThread;
                const int before = ui().CountItems(statusList);
                ui().AddItem(statusList, -1, "line " + std::to_string(i));
                std::this_thread::yield();
                ui().SetState(statusList, ui().CountItems(statusList) - 1);
                ui().SetState(statusList, -1);
                interleaved += ui().CountItems(statusList) != before + 1;
            });
            ui().SetState(progressBar, i * 100 / kLines);
        }
        if (first == 0)
            ui().DisableGadget(actionButton, 1);
    };
    {
        Worker a(ui(), [&] { work(0); });
        Worker b(ui(), [&] { work(1); });
        ASSERT_TRUE(PumpUntil(
            ui(), [&] { return a.done() && b.done(); }, 30000));
    }
    EXPECT_EQ(ranElsewhere.load(), 0);
    EXPECT_EQ(interleaved.load(), 0);
    ASSERT_EQ(ui().CountItems(statusList), kLines);
    // Each worker's lines arrive whole and in its own order.
    std::vector<int> order[2];
    for (int row = 0; row < kLines; ++row) {
        std::string line = ui().GetItemText(statusList, row);
        ASSERT_EQ(line.rfind("line ", 0), 0u) << line;
        order[std::stoi(line.substr(5)) % 2].push_back(std::stoi(line.substr(5)));
    }
    for (auto& lines : order) {
        EXPECT_EQ(lines.size(), static_cast<size_t>(kLines / 2));
        EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end()));
    }
    EXPECT_FALSE(gtk_widget_is_sensitive(Widget(ui(), actionButton)));
    EXPECT_GT(ui().GetState(progressBar), 90);
    EXPECT_EQ(ui().GetState(statusList), -1);
    EXPECT_TRUE(PumpUntil(ui(), [&] { return RowInView(Widget(ui(), statusList), kLines - 1); }));
}

TEST_F(GtkToolkitTest, AMessageBoxIsModalAndBlocksOnlyItsCaller) {
    GtkWidget* main = OpenMain();
    // A worker's box: the loop goes on while it is open, the windows take no input.
    std::atomic<int> result{-1};
    Worker worker(ui(), [&] {
        result = ui().ShowMessage("Fehler", "Keine Verbindung zu \xc3\xa4.example", kMessageWarning);
        ui().AddItem(statusList, -1, "after the box");
    });
    GtkWidget* box = nullptr;
    ASSERT_TRUE(PumpUntil(
        ui(), [&] { return (box = FindDialog(GTK_TYPE_MESSAGE_DIALOG)) != nullptr; }, 10000));
    ASSERT_TRUE(Settle(ui(), box));
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(box)), "Fehler");
    gchar* text = nullptr;
    g_object_get(box, "text", &text, nullptr);
    EXPECT_STREQ(text, "Keine Verbindung zu \xc3\xa4.example");
    g_free(text);
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(box)));
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(box)), GTK_WINDOW(main));
    // The warning icon in front of the text, and one OK button.
    GtkWidget* texts = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(box));
    GList* row = gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(texts)));
    const gchar* icon = nullptr;
    if (GTK_IS_IMAGE(row->data))
        gtk_image_get_icon_name(GTK_IMAGE(row->data), &icon, nullptr);
    g_list_free(row);
    EXPECT_STREQ(icon, "dialog-warning");
    GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
    ASSERT_NE(ok, nullptr);
    GList* buttons = gtk_container_get_children(GTK_CONTAINER(gtk_widget_get_parent(ok)));
    EXPECT_EQ(g_list_length(buttons), 1u);
    g_list_free(buttons);

    ui().AddItem(statusList, -1, "while the box is open");
    ASSERT_TRUE(ClickAt(Widget(ui(), actionButton)));
    EXPECT_EQ(NextEvent(ui(), 300), kNoEvent);
    EXPECT_EQ(result.load(), -1);
    ASSERT_TRUE(ClickAt(ok));
    ASSERT_TRUE(PumpUntil(ui(), [&] { return worker.done(); }));
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(ui().GetItemText(statusList, 0), "while the box is open");
    EXPECT_EQ(ui().GetItemText(statusList, 1), "after the box");
    ASSERT_TRUE(ClickAt(Widget(ui(), actionButton)));
    EXPECT_EQ(NextEvent(ui()), Click(actionButton, mainWindow));

    // On the loop's own thread the box blocks until it is answered; flags 0 show no icon.
    int shownIcons = -1;
    Responder answer([&] {
        GtkWidget* found = FindDialog(GTK_TYPE_MESSAGE_DIALOG);
        if (!found || !gtk_widget_get_mapped(found))
            return false;
        GList* parts = gtk_container_get_children(
            GTK_CONTAINER(gtk_widget_get_parent(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(found)))));
        shownIcons = 0;
        for (GList* it = parts; it; it = it->next)
            shownIcons += GTK_IS_IMAGE(it->data) && gtk_widget_get_visible(GTK_WIDGET(it->data));
        g_list_free(parts);
        Press(found, GTK_RESPONSE_OK);
        return true;
    });
    EXPECT_EQ(ui().ShowMessage("Crash", "Report text", kMessagePlain), 1);
    EXPECT_TRUE(answer.answered());
    EXPECT_EQ(shownIcons, 0);
}

TEST_F(GtkToolkitTest, FolderChooserOpensAtTheInitialFolderAndReturnsItWithASlash) {
    test::TempDir temp;
    const std::string folder = temp.path().substr(0, temp.path().size() - 1);
    const std::string sub = folder + "/Spiele \xc3\xa4";
    ASSERT_TRUE(std::filesystem::create_directory(sub));
    GtkWidget* main = OpenMain();

    // `act` runs on the loop's thread against the loaded chooser; true when done.
    auto browse = [&](const std::string& initial, const std::function<bool(GtkFileChooser*)>& act) {
        std::string opened = "?";
        Responder answer([&] {
            auto* chooser = reinterpret_cast<GtkFileChooser*>(FindDialog(GTK_TYPE_FILE_CHOOSER_DIALOG));
            gchar* current = chooser ? gtk_file_chooser_get_current_folder(chooser) : nullptr;
            if (!current)
                return false;
            if (opened == "?")
                opened = current;
            g_free(current);
            EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(chooser)), GTK_WINDOW(main));
            return act(chooser);
        });
        std::string chosen = ui().FolderRequester("Install to", initial);
        EXPECT_TRUE(answer.answered());
        return std::pair(chosen, opened);
    };
    auto press = [](GtkResponseType response) {
        return [response](GtkFileChooser* chooser) {
            Press(GTK_WIDGET(chooser), response);
            return true;
        };
    };
    // Opened at the initial folder: Select at once returns it.
    EXPECT_EQ(browse(folder + "/", press(GTK_RESPONSE_ACCEPT)), std::pair(folder + "/", folder));
    // A folder selected in the list.
    bool asked = false;
    EXPECT_EQ(browse(folder + "/",
                     [&](GtkFileChooser* chooser) {
                         if (!asked)
                             asked = gtk_file_chooser_select_filename(chooser, sub.c_str());
                         gchar* selected = gtk_file_chooser_get_filename(chooser);
                         const bool ready = selected && sub == selected;
                         g_free(selected);
                         return ready && press(GTK_RESPONSE_ACCEPT)(chooser);
                     })
                  .first,
              sub + "/");
    // The root keeps its one slash; cancel gives the empty text.
    EXPECT_EQ(browse("/", press(GTK_RESPONSE_ACCEPT)).first, "/");
    EXPECT_EQ(browse(folder + "/", press(GTK_RESPONSE_CANCEL)).first, "");
}

TEST_F(GtkToolkitTest, ALargerDesktopFontScalesTheLayout) {
    const double normal = ScaleOf(OpenOptions(), kOptionsWindow.width);
    // The desktop's font at twice its size.
    GtkSettings* settings = gtk_settings_get_default();
    gchar* desktopFont = nullptr;
    g_object_get(settings, "gtk-font-name", &desktopFont, nullptr);
    PangoFontDescription* font = pango_font_description_from_string(desktopFont);
    pango_font_description_set_size(font, 2 * pango_font_description_get_size(font));
    gchar* large = pango_font_description_to_string(font);
    g_object_set(settings, "gtk-font-name", large, nullptr);
    GtkWidget* window = OpenOptions();
    const double scale = ScaleOf(window, kOptionsWindow.width);
    int textWidth = 0, textHeight = 0;
    PangoLayout* layout = gtk_widget_create_pango_layout(Widget(ui(), languageLabel), "Language:");
    pango_layout_get_pixel_size(layout, &textWidth, &textHeight);
    g_object_unref(layout);
    const GdkRectangle button = PlaceOf(ui(), saveButton), field = PlaceOf(ui(), serverField),
                       label = PlaceOf(ui(), languageLabel);
    const int buttonText = gtk_widget_get_allocated_height(gtk_bin_get_child(GTK_BIN(Widget(ui(), saveButton))));
    g_object_set(settings, "gtk-font-name", desktopFont, nullptr);
    g_free(large);
    pango_font_description_free(font);
    g_free(desktopFont);

    EXPECT_GT(scale / normal, 1.7);
    EXPECT_LT(scale / normal, 2.3);
    EXPECT_NEAR(gtk_widget_get_allocated_height(window), kOptionsWindow.height * scale, 1);
    // Every place grows by the same factor and the texts still fit in theirs.
    EXPECT_NEAR(button.y, kSaveButton.y * scale, 1);
    EXPECT_NEAR(button.height, kSaveButton.height * scale, 1);
    EXPECT_NEAR(field.width, kServerField.width * scale, 1);
    EXPECT_GE(buttonText, textHeight);
    EXPECT_GE(label.height, textHeight);
    EXPECT_GE(label.width, textWidth);
}

// Figures, printed and not checked: 100,000 status lines and report rows.
TEST_F(GtkToolkitTest, HundredThousandRowsFillQuicklyAndStayUsable) {
    constexpr int kRows = 100000;
    auto start = Clock::now();
    OpenWindow(ui(), mainWindow, kMainWindow, "Zefo Updater", kMainFlags);
    TextList(ui(), statusList, kUpdaterStatusList);
    GtkWidget* list = Widget(ui(), statusList);
    ASSERT_TRUE(PumpUntil(ui(), [&] { return gtk_widget_get_mapped(list); }));
    const double openMs = MillisecondsSince(start);
    start = Clock::now();
    for (int i = 0; i < kRows; ++i) {
        ui().AddItem(statusList, -1, "Loading \"data/levels/level" + std::to_string(i) + ".pak\"...");
        ui().SetState(statusList, ui().CountItems(statusList) - 1);
        ui().SetState(statusList, -1);
    }
    const double fillMs = MillisecondsSince(start);
    start = Clock::now();
    EXPECT_TRUE(PumpUntil(
        ui(), [&] { return RowInView(list, kRows - 1); }, 20000));
    const double showMs = MillisecondsSince(start);
    EXPECT_EQ(ui().CountItems(statusList), kRows);
    EXPECT_EQ(ui().GetState(statusList), -1);
    // Still answering: a click on a line is seen.
    start = Clock::now();
    ASSERT_TRUE(ClickAt(list, 50, 5));
    EXPECT_EQ(NextEvent(ui(), 5000).gadget, statusList);
    const double clickMs = MillisecondsSince(start);

    ASSERT_NE(OpenWindow(ui(), filesWindow, kFilesWindow, "Files", kDialogFlags), 0);
    ASSERT_NE(ReportList(ui(), newFilesList, kNewFilesList, "", kFilesColumnWidth, kReportNoHeader | kReportCheckBoxes),
              0);
    start = Clock::now();
    for (int i = 0; i < kRows; ++i) {
        ui().AddItem(newFilesList, -1, "data/levels/level" + std::to_string(i) + ".pak");
        ui().SetItemState(newFilesList, ui().CountItems(newFilesList) - 1, kItemChecked);
    }
    ui().FitColumn(newFilesList);
    const double reportMs = MillisecondsSince(start);
    start = Clock::now();
    int checked = 0;
    for (int row = 0; row < kRows; ++row)
        checked += (ui().GetItemState(newFilesList, row) & kItemChecked) ? 1 : 0;
    const double readMs = MillisecondsSince(start);
    EXPECT_EQ(checked, kRows);
    EXPECT_EQ(ui().GetItemText(newFilesList, kRows - 1), "data/levels/level99999.pak");
    start = Clock::now();
    ui().CloseWindow(filesWindow);
    ui().ClearItems(statusList);
    const double closeMs = MillisecondsSince(start);
    EXPECT_EQ(ui().CountItems(statusList), 0);
    std::printf(
        "100000 rows: open %.0f ms; status lines %.0f ms, last line shown %.0f ms later, click seen after "
        "%.0f ms; report rows with check marks %.0f ms, read back %.0f ms; close and clear %.0f ms\n",
        openMs, fillMs, showMs, clickMs, reportMs, readMs, closeMs);
}

// --- not a check: the program's windows for a look ---

// Saves the screen around `window` as screenshots/gtk-<name>.png in the build tree.
void Screenshot(Toolkit& ui, GtkWidget* window, const std::string& name) {
    Settle(ui, window);
    std::filesystem::create_directories(ZEFO_TEST_SCREENSHOT_DIR);
    GdkRectangle frame{};
    gdk_window_get_frame_extents(gtk_widget_get_window(window), &frame);
    const std::string command = "import -window root -crop " + std::to_string(frame.width + 40) + "x" +
                                std::to_string(frame.height + 40) + "+" + std::to_string(std::max(0, frame.x - 20)) +
                                "+" + std::to_string(std::max(0, frame.y - 20)) + " +repage '" +
                                ZEFO_TEST_SCREENSHOT_DIR + "/gtk-" + name + ".png'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

// The updater, installer, options and files windows with the program's gadget
// tables and English texts, a message box, and the updater with a large desktop
// font; run with --gtest_also_run_disabled_tests.
TEST_F(GtkToolkitTest, DISABLED_SampleWindows) {
    LoadTranslations("en");
    const std::string game = "Orbital Drift";
    auto status = [&](const std::vector<std::string>& lines) {
        for (const std::string& line : lines) {
            ui().AddItem(statusList, -1, line);
            ui().SetState(statusList, ui().CountItems(statusList) - 1);
            ui().SetState(statusList, -1);
        }
    };
    auto updater = [&](const std::string& name) {
        OpenWindow(ui(), mainWindow, kMainWindow, "Zefo Updater", kMainFlags);
        Button(ui(), actionButton, kUpdateButton, Translate("BUTTON_UPDATE"));
        Button(ui(), filesButton, kFilesButton, Translate("BUTTON_FILES"));
        Button(ui(), optionsButton, kUpdaterOptionsButton, Translate("BUTTON_OPTIONS"));
        TextList(ui(), statusList, kUpdaterStatusList);
        ProgressBar(ui(), progressBar, kProgressBar, 0, 100);
        status({Translate("UPDATE"), Translate("GAME_LOADING_FILES", game), Translate("FILES_LOADED"),
                Translate("FILES_NUM", "4"), Translate("FILES_NUM_NEW", "3"), Translate("GAME_UPDATING"),
                Translate("LOADING", "Update.exe"),
                Translate("ERR_FILE", "data/levels/a level whose name is long enough to need the sideways scroll bar"),
                Translate("GAME_FAILED", "1")});
        ui().SetState(progressBar, 100);
        Screenshot(ui(), TopLevel(ui(), actionButton), name);
    };
    updater("updater");
    Worker worker(ui(), [&] { ui().ShowMessage(Translate("ERR"), Translate("ERR_SERVER"), kMessageWarning); });
    GtkWidget* box = nullptr;
    ASSERT_TRUE(PumpUntil(
        ui(), [&] { return (box = FindDialog(GTK_TYPE_MESSAGE_DIALOG)) != nullptr; }, 5000));
    Screenshot(ui(), box, "message");
    Press(box, GTK_RESPONSE_OK);

    OpenWindow(ui(), optionsWindow, kOptionsWindow, Translate("TITLE_OPTIONS"), kDialogFlags);
    Label(ui(), languageLabel, kLanguageLabel, Translate("T_OPTIONS_LANG"));
    Label(ui(), serverLabel, kServerLabel, Translate("T_OPTIONS_SERVER"));
    Label(ui(), limitLabel, kLimitLabel, Translate("T_OPTIONS_LIMIT"));
    Button(ui(), saveButton, kSaveButton, Translate("BUTTON_OPTIONS_SAVE"));
    Button(ui(), cancelButton, kCancelButton, Translate("BUTTON_OPTIONS_CANCEL"));
    DropDown(ui(), languageCombo, kLanguageCombo);
    TextField(ui(), serverField, kServerField, "updates.zefo.example");
    TextField(ui(), limitField, kLimitField, "500k");
    for (const char* language : {"Deutsch", "English", "Suomi"})
        ui().AddItem(languageCombo, -1, language);
    ui().SetState(languageCombo, 1);
    Screenshot(ui(), TopLevel(ui(), saveButton), "options");
    ui().CloseWindow(optionsWindow);

    OpenWindow(ui(), filesWindow, kFilesWindow, Translate("TITLE_FILES"), kDialogFlags);
    Label(ui(), newFilesLabel, kNewFilesLabel, Translate("T_FILES_NEW"));
    Label(ui(), oldFilesLabel, kOldFilesLabel, Translate("T_FILES_OLD"));
    ReportList(ui(), newFilesList, kNewFilesList, "", kFilesColumnWidth, kReportNoHeader | kReportCheckBoxes);
    ReportList(ui(), oldFilesList, kOldFilesList, "", kFilesColumnWidth, kReportNoHeader);
    for (const char* path : {"Update.exe", "data/levels/level01.pak", "data/sound/music.ogg",
                             "data/levels/a level whose name is longer than the list is wide.pak"}) {
        ui().AddItem(newFilesList, -1, path);
        ui().SetItemState(newFilesList, ui().CountItems(newFilesList) - 1, path[5] == 's' ? 0 : kItemChecked);
    }
    for (const char* path : {"game.exe", "data/textures.pak"})
        ui().AddItem(oldFilesList, -1, path);
    ui().FitColumn(newFilesList);
    ui().FitColumn(oldFilesList);
    Screenshot(ui(), TopLevel(ui(), newFilesList), "files");
    ui().CloseWindow(filesWindow);

    OpenWindow(ui(), mainWindow, kMainWindow, "Zefo Updater", kMainFlags);
    ui().SetWindowTitle(mainWindow, "Zefo Installer");
    DropDown(ui(), gameCombo, kGameCombo);
    Button(ui(), actionButton, kInstallButton, Translate("BUTTON_INSTALL"));
    Button(ui(), optionsButton, kInstallerOptionsButton, Translate("BUTTON_OPTIONS"));
    ProgressBar(ui(), progressBar, kProgressBar, 0, 100);
    TextList(ui(), statusList, kInstallerStatusList);
    for (const char* name : {"Orbital Drift", "Nebula R\xc3\xa4\x63\x65rs"})
        ui().AddItem(gameCombo, -1, name);
    ui().SetState(gameCombo, 0);
    status({Translate("INSTALL"), Translate("GAMES_LOADED"), Translate("GAME_INSTALLING", game),
            Translate("GAME_LOADING_FILES", game), Translate("LOADING", "data/levels/level01.pak")});
    ui().SetState(progressBar, 40);
    Screenshot(ui(), TopLevel(ui(), actionButton), "installer");

    GtkSettings* settings = gtk_settings_get_default();
    gchar* desktopFont = nullptr;
    g_object_get(settings, "gtk-font-name", &desktopFont, nullptr);
    g_object_set(settings, "gtk-font-name", "DejaVu Sans 14", nullptr);
    updater("updater-large-font");
    g_object_set(settings, "gtk-font-name", desktopFont, nullptr);
    g_free(desktopFont);
}

}  // namespace
}  // namespace zefo::ui
