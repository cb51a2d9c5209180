#include <gtk/gtk.h>

#include <atomic>

#include "ui/toolkit_gtk.h"
#include "window_bench_platform.h"

namespace zefo::bench {

namespace {

std::atomic<int> paints{0};

gboolean OnDraw(GtkWidget*, cairo_t*, gpointer) {
    paints.fetch_add(1, std::memory_order_relaxed);
    return FALSE;
}

gboolean Press(gpointer button) {
    gtk_button_clicked(GTK_BUTTON(button));
    return G_SOURCE_REMOVE;
}

}  // namespace

std::unique_ptr<ui::Toolkit> CreatePlatformToolkit() {
    return ui::CreateGtkToolkit();
}

void PressFromOutside(void* button) {
    // At the priority of input events, as a click of the user would arrive.
    g_main_context_invoke_full(nullptr, G_PRIORITY_DEFAULT, Press, button, nullptr);
}

void CountPaints(void* control) {
    g_signal_connect(GTK_WIDGET(control), "draw", G_CALLBACK(OnDraw), nullptr);
}

int PaintsCounted() {
    return paints.load(std::memory_order_relaxed);
}

bool LastLineInView(void* list) {
    GtkTreeView* view = GTK_TREE_VIEW(list);
    const int count = gtk_tree_model_iter_n_children(gtk_tree_view_get_model(view), nullptr);
    GtkTreePath* start = nullptr;
    GtkTreePath* end = nullptr;
    if (count <= 0 || !gtk_tree_view_get_visible_range(view, &start, &end))
        return false;
    const bool shown = gtk_tree_path_get_indices(end)[0] == count - 1;
    gtk_tree_path_free(start);
    gtk_tree_path_free(end);
    return shown;
}

}  // namespace zefo::bench
