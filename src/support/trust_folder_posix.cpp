#include "support/trust_folder.h"

#include "base/file_system.h"
#include "support/settings.h"

namespace zefo {

// The program runs as the user here: no folder is safer from the user's other
// programs than the user's own.
std::string TrustFolder() {
    const std::string folder = ProductFolder();
    if (!folder.empty() && QueryFileSize(folder) != -2)
        EnsureDirectory(folder);
    return QueryFileSize(folder) == -2 ? folder : std::string();
}

std::string ElevatedTrustFolder() {
    return {};
}

}  // namespace zefo
