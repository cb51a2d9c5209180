// The persisted settings (server host and language) and the per-game folder override.
// Failures are silent: a missing or unwritable file gives or keeps the defaults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zefo {

struct Settings {
    std::string server;  // the update server, "host" or "host:port"
    std::string lang;    // language code: "en", "de" or "fi"; "---" while none is chosen
};

struct LanguageEntry {
    int32_t id;        // Windows primary language id
    std::string code;  // as stored in the settings and passed to LoadTranslations
    std::string name;  // shown in the options window
};

// The languages the program offers, in the order of the options window's list.
std::vector<LanguageEntry> BuiltInLanguages();

// The settings in <product folder><folder>\settings.ini (group "Program"). A missing
// language is settled from the user's language among `languages` ("en" when none fits).
Settings ReadSettings(const std::string& folder, const std::vector<LanguageEntry>& languages);
// "game" of group "Update" in the per-game file of `name`, else `current`.
std::string ReadGameFolder(const std::string& name, const std::string& current);
// Writes "lang" then "server" to <product folder><folder>\settings.ini.
void WriteSettings(const std::string& folder, const Settings& settings);

// The product folder, ending in a separator ("%APPDATA%\Zefo\" on Windows).
std::string ProductFolder();
// The user's default language id (Windows LANGID; on POSIX derived from the locale).
int UserLanguageId();

}  // namespace zefo
