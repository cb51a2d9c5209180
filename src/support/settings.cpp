#include "support/settings.h"

#include "base/file_system.h"
#include "base/listed_path.h"
#include "support/ini_file.h"

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

std::string DetectLanguage(const std::vector<LanguageEntry>& languages) {
    const int primary = UserLanguageId() & 0xFF;
    for (const LanguageEntry& entry : languages) {
        if (entry.id == primary)
            return entry.code;
    }
    return "en";
}

}  // namespace

std::vector<LanguageEntry> BuiltInLanguages() {
    return {{7, "de", "Deutsch"}, {9, "en", "English"}, {11, "fi", "Suomi"}};
}

Settings ReadSettings(const std::string& folder, const std::vector<LanguageEntry>& languages) {
    Settings settings{ZEFO_DEFAULT_SERVER, kNoLanguage};
    std::string file = PrepareFolders(folder);
    if (!file.empty()) {
        IniOpen(file);
        IniSelectGroup("Program");
        settings.lang = IniReadString("lang", kNoLanguage);
        settings.server = IniReadString("server", ZEFO_DEFAULT_SERVER);
        IniClose();
    }
    if (settings.lang == kNoLanguage)
        settings.lang = DetectLanguage(languages);
    return settings;
}

std::string ReadGameFolder(const std::string& name, const std::string& current) {
    std::string file = PrepareFolders(name);
    if (file.empty())
        return current;
    IniOpen(file);
    IniSelectGroup("Update");
    std::string folder = IniReadString("game", current);
    IniClose();
    return folder;
}

void WriteSettings(const std::string& folder, const Settings& settings) {
    std::string file = PrepareFolders(folder);
    if (file.empty())
        return;
    IniOpen(file);
    IniSelectGroup("Program");
    IniWriteString("lang", settings.lang);
    IniWriteString("server", settings.server);
    IniClose();
}

}  // namespace zefo
