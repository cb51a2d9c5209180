#include "app/app_state.h"

#include <memory>

namespace zefo {

TextSnapshot AppState::Snapshot() const {
    std::lock_guard guard(textLock);
    return TextSnapshot{settings, gameName, gameFolder, installFolder, mirrors};
}

namespace {
std::unique_ptr<AppState> instance = std::make_unique<AppState>();
}

AppState& State() {
    return *instance;
}

void ResetState() {
    instance = std::make_unique<AppState>();
}

}  // namespace zefo
