// The engine's observer in the window program: status lines go to the status list,
// messages to a message box with the warning icon, progress to the progress bar.
#pragma once

#include <atomic>

#include "net/observer.h"

namespace zefo {

class WindowObserver final : public Observer {
  public:
    void Status(const std::string& line) override;
    void Message(const std::string& title, const std::string& text) override;
    void Progress(int percent) override;

  private:
    // What this observer last set the bar to: the engine reports a percentage after
    // every file, and setting the bar to what it shows is a wait for the window's thread.
    std::atomic<int> shown_{-1};
};

}  // namespace zefo
