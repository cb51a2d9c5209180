// Setting environment variables in a test process (seen by the program's own
// lookups on every platform), and planting links and other users' files.
#pragma once

#include <string>

namespace zefo::test {

void SetEnvironment(const std::string& name, const std::string& value);

// A folder on the Linux side (an absolute path) as this program opens it, ending in a
// separator: as it is, or under Wine through drive Z:. Empty for an empty path.
std::string HostFolder(const std::string& path);

// Makes `link` a symbolic link to `target` (both full paths), as a user could plant
// one in a game folder; false where the system cannot make one.
bool MakeSymbolicLink(const std::string& target, const std::string& link);

// Makes `link` another name of the file `target` (both full paths), as a user who can
// make files in a game folder could plant one for a file elsewhere; false where the
// system cannot make one. Under Wine the host's own ln makes it.
bool MakeHardLink(const std::string& target, const std::string& link);

// Gives the file `path` to another user, as if that user had made it; false where the
// test cannot (not run as root; Windows outside Wine). Under Wine the host's own chown
// does it, and the file's owner then shows as the anonymous SID (S-1-5-7).
bool GiveToAnotherUser(const std::string& path);

// Lets the self-update script run here as on Windows: where there is no command
// interpreter with "del" and "ren", the two are put into `folder` and found first.
void UseSwapCommands(const std::string& folder);

}  // namespace zefo::test
