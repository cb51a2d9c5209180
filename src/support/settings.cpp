#include "support/settings.h"

#include <mutex>

#include "app/app_state.h"
#include "support/ini_file.h"
#include "sync/file_system.h"
#include "sync/workers.h"

namespace zefo {

namespace {

constexpr const char* kNoLanguage = "---";

// Creates the product folder and its sub-folder `name` as far as they are missing
// and gives the settings file's path, or the empty text when there is no product
// folder or `name` would lead out of it (a game name comes from a downloaded file).
std::string PrepareFolders(const std::string& name) {
    std::string product = ProductFolder();
    if (product.empty())
        return {};
    if (!name.empty() && (!IsSafeRelativePath(name) || name.find_first_of("\\/") != std::string::npos))
        return {};
    const char separator = product.back();
    // All levels: on Linux the XDG folder itself may not exist yet.
    if (QueryFileSize(product) != -2)
        EnsureDirectory(product);
    std::string folder = product + name + separator;
    if (QueryFileSize(folder) != -2)
        MakeDirectory(folder);
    return product + name + separator + "settings.ini";
}

std::string DetectLanguage() {
    const int primary = UserLanguageId() & 0xFF;
    for (const LanguageEntry& entry : State().languageList) {
        if (entry.id == primary)
            return entry.code;
    }
    return "en";
}

}  // namespace

void LoadSettings(const std::string& folder) {
    std::string lang = kNoLanguage;
    std::string server = ZEFO_DEFAULT_SERVER;
    std::string file = PrepareFolders(folder);
    if (!file.empty()) {
        IniOpen(file);
        IniSelectGroup("Program");
        lang = IniReadString("lang", kNoLanguage);
        server = IniReadString("server", ZEFO_DEFAULT_SERVER);
        IniClose();
    }
    if (lang == kNoLanguage)
        lang = DetectLanguage();

    AppState& state = State();
    std::lock_guard guard(state.textLock);
    state.settings.lang = std::move(lang);
    state.settings.server = std::move(server);
}

void LoadGameSettings(const std::string& name) {
    std::string file = PrepareFolders(name);
    if (file.empty())
        return;
    AppState& state = State();
    std::string current;
    {
        std::lock_guard guard(state.textLock);
        current = state.gameFolder;
    }
    IniOpen(file);
    IniSelectGroup("Update");
    std::string folder = IniReadString("game", current);
    IniClose();

    std::lock_guard guard(state.textLock);
    state.gameFolder = std::move(folder);
}

void SaveSettings(const std::string& folder) {
    std::string file = PrepareFolders(folder);
    if (file.empty())
        return;
    Settings settings = State().Snapshot().settings;
    IniOpen(file);
    IniSelectGroup("Program");
    IniWriteString("lang", settings.lang);
    IniWriteString("server", settings.server);
    IniClose();
}

}  // namespace zefo
