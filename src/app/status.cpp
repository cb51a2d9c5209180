#include "app/status.h"

#include "app/ids.h"
#include "ui/toolkit.h"

namespace zefo {

void SetStatus(const std::string& text) {
    ui::Toolkit& ui = ui::UI();
    // The three steps run as one unit so that lines of concurrent callers never
    // mix and each call scrolls to the last line as it stands.
    ui.RunAtomically([&ui, &text] {
        ui.AddItem(statusList, -1, text);
        ui.SetState(statusList, ui.CountItems(statusList) - 1);
        ui.SetState(statusList, -1);
    });
}

}  // namespace zefo
