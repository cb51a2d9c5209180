// The engine's observer in the window program: status lines go to the status list,
// messages to a message box with the warning icon, progress to the progress bar.
#pragma once

#include "net/observer.h"

namespace zefo {

class WindowObserver final : public Observer {
  public:
    void Status(const std::string& line) override;
    void Message(const std::string& title, const std::string& text) override;
    void Progress(int percent) override;
};

}  // namespace zefo
