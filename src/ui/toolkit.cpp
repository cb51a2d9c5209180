#include "ui/toolkit.h"

#include <atomic>
#include <cstdlib>

namespace zefo::ui {

namespace {
std::atomic<Toolkit*> current{nullptr};
}

Toolkit& UI() {
    Toolkit* toolkit = current.load(std::memory_order_acquire);
    // Using the toolkit before the entry point set one is a programming error.
    if (!toolkit)
        std::abort();
    return *toolkit;
}

void Toolkit::AppendLine(int gadget, const std::string& text) {
    RunAtomically([&] {
        AddItem(gadget, -1, text);
        SetState(gadget, CountItems(gadget) - 1);
        SetState(gadget, -1);
    });
}

void SetToolkit(Toolkit* toolkit) {
    current.store(toolkit, std::memory_order_release);
}

}  // namespace zefo::ui
