// The status line of the main window.
#pragma once

#include <string>

namespace zefo {

// Appends `text` as the last line of the status list, scrolls it into view and
// leaves nothing selected. Safe from any thread; concurrent lines never mix.
void SetStatus(const std::string& text);

}  // namespace zefo
