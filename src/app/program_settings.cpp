#include "app/program_settings.h"

#include "app/app_state.h"
#include "net/network_options.h"
#include "support/settings.h"

namespace zefo {

void LoadSettings(const std::string& folder) {
    AppState& state = State();
    Settings settings = ReadSettings(folder, state.languageList);
    // A limit the program cannot read limits nothing, and the options window shows none.
    uint64_t rate = 0;
    if (!ParseLimitSetting(settings.limitRate, rate))
        settings.limitRate.clear();
    state.limiter->SetRate(rate);
    std::lock_guard guard(state.textLock);
    state.settings = std::move(settings);
}

void LoadGameSettings(const std::string& name) {
    AppState& state = State();
    std::string current;
    {
        std::lock_guard guard(state.textLock);
        current = state.gameFolder;
    }
    std::string folder = ReadGameFolder(name, current);
    std::lock_guard guard(state.textLock);
    state.gameFolder = std::move(folder);
}

void SaveSettings(const std::string& folder) {
    WriteSettings(folder, State().Snapshot().settings);
}

}  // namespace zefo
