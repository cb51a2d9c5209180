// Setting environment variables in a test process (seen by the program's own
// lookups on every platform), and planting links.
#pragma once

#include <string>

namespace zefo::test {

void SetEnvironment(const std::string& name, const std::string& value);

// Makes `link` a symbolic link to `target` (both full paths), as a user could plant
// one in a game folder; false where the system cannot make one.
bool MakeSymbolicLink(const std::string& target, const std::string& link);

// Lets the self-update script run here as on Windows: where there is no command
// interpreter with "del" and "ren", the two are put into `folder` and found first.
void UseSwapCommands(const std::string& folder);

}  // namespace zefo::test
