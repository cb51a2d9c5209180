#include "app/window_observer.h"

#include "app/ids.h"
#include "app/status.h"
#include "ui/toolkit.h"

namespace zefo {

void WindowObserver::Status(const std::string& line) {
    SetStatus(line);
}

void WindowObserver::Message(const std::string& title, const std::string& text) {
    ui::UI().ShowMessage(title, text, ui::kMessageWarning);
}

void WindowObserver::Progress(int percent) {
    ui::UI().SetState(progressBar, percent);
}

}  // namespace zefo
