// The checks behind TrustFolder on Windows, for the tests.
#pragma once

#include <windows.h>

#include <string>

namespace zefo {

// The folder "Zefo" in `base`, ending in a separator, when it is a real folder (no
// link or junction) and only administrators and the system can change it; else
// empty. When `create`, a missing one is made first with such an access list.
std::string ProtectedFolderIn(const std::string& base, bool create);

// Whether `descriptor` lets only administrators and the system change what it
// guards: one of them owns it, and its access list grants no one else more than
// reading. `self` (or null) counts as one of them too.
bool OnlyAdministratorsChange(PSECURITY_DESCRIPTOR descriptor, PSID self);

}  // namespace zefo
