// The window program's settings, kept in AppState and in the settings files.
#pragma once

#include <string>

namespace zefo {

// Reads State().settings from <product folder><folder>\settings.ini and settles the language.
void LoadSettings(const std::string& folder);
// Replaces State().gameFolder with "game" of group "Update" in the per-game file of `name`.
void LoadGameSettings(const std::string& name);
// Writes "lang" then "server" of State().settings to <product folder><folder>\settings.ini.
void SaveSettings(const std::string& folder);

}  // namespace zefo
