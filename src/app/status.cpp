#include "app/status.h"

#include "app/ids.h"
#include "ui/toolkit.h"

namespace zefo {

void SetStatus(const std::string& text) {
    // One unit, so that lines of concurrent callers never mix and each call scrolls
    // to the last line as it stands.
    ui::UI().AppendLine(statusList, text);
}

}  // namespace zefo
