// The publisher's name rules: what may be a game folder, a listed path or a display
// name. They take the client's own rules (base/listed_path.h) and add what a web
// server or the client's requests cannot carry. Each returns empty when the name
// may be used, otherwise the reason why not.
#pragma once

#include <string>

namespace zefo::tools {

// One component (file or folder name) of a published path.
std::string CheckNameComponent(const std::string& name);
// A path relative to the game folder, "/" between components, as listed.
std::string CheckListedPath(const std::string& path);
// A game's display name (it also names the game's settings folder on Windows).
std::string CheckDisplayName(const std::string& name);

}  // namespace zefo::tools
