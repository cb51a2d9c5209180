// The persisted settings (server host and language) and the per-game folder override.
// Failures are silent: a missing or unwritable file gives or keeps the defaults.
#pragma once

#include <string>

namespace zefo {

// Reads State().settings from <product folder><folder>\settings.ini and settles the language.
void LoadSettings(const std::string& folder);
// Replaces State().gameFolder with "game" of group "Update" in the per-game file of `name`.
void LoadGameSettings(const std::string& name);
// Writes "lang" then "server" of State().settings to <product folder><folder>\settings.ini.
void SaveSettings(const std::string& folder);

// The product folder, ending in a separator ("%APPDATA%\Zefo\" on Windows).
std::string ProductFolder();
// The user's default language id (Windows LANGID; on POSIX derived from the locale).
int UserLanguageId();

}  // namespace zefo
