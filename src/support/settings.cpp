#include "support/settings.h"

#include "base/file_system.h"
#include "base/listed_path.h"
#include "support/ini_file.h"
#include "support/trust_folder.h"

namespace zefo {

namespace {

constexpr const char* kNoLanguage = "---";
constexpr const char* kVersionsGroup = "Signed lists";
constexpr size_t kMaxVersionDigits = 18;
constexpr size_t kMaxSettingText = 2048;
// Folders of the product folder looked into for versions kept by earlier programs: one
// per game ever updated, far fewer than this.
constexpr size_t kMaxEarlierFolders = 4096;

// A target as a key: bytes beyond letters, digits and "/._-" as %XX, so that "=",
// ";", "[" or blanks in a folder name cannot change the line's meaning.
std::string VersionKey(const std::string& target) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string key;
    for (unsigned char c : target) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                     c == '.' || c == '_' || c == '-';
        if (plain) {
            key += static_cast<char>(c);
        } else {
            key += '%';
            key += kHex[c >> 4];
            key += kHex[c & 15];
        }
    }
    return key;
}

// Creates the product folder and its sub-folder `name` as far as they are missing
// and gives the settings file's path, or the empty text when there is no product
// folder or `name` would lead out of it (a game name comes from a downloaded file).
std::string PrepareFolders(const std::string& name) {
    std::string product = ProductFolder();
    if (product.empty())
        return {};
    // One plain folder name; the names reserved in a game folder mean nothing here.
    if (!name.empty() && (!IsSafeRelativePath(name, {}) || name.find_first_of("\\/") != std::string::npos))
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

// A whole number from 1 to 32; anything else is the default.
int ConnectionsSetting(const std::string& text) {
    if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos)
        return kDefaultConnections;
    const int value = std::stoi(text);
    return value >= 1 && value <= 32 ? value : kDefaultConnections;
}

// Whether the selected group of the open file holds `key`: no value equals both fallbacks.
bool HasKey(const std::string& key) {
    return IniReadString(key, "0") != "0" || IniReadString(key, "1") != "1";
}

// A text no sound value comes near in length is none at all.
std::string BoundedSetting(std::string text) {
    return text.size() > kMaxSettingText ? std::string() : text;
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
        settings.pin = IniReadString("pin", "");
        settings.connections = ConnectionsSetting(IniReadString("connections", ""));
        settings.proxy = BoundedSetting(IniReadString("proxy", ""));
        settings.limitRate = BoundedSetting(IniReadString("limit_rate", ""));
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
    // Files of users who never set a limit stay as they were.
    if (!settings.limitRate.empty() || HasKey("limit_rate"))
        IniWriteString("limit_rate", settings.limitRate);
    IniClose();
}

std::vector<std::string> ListVersionsFiles() {
    const std::string product = ProductFolder();
    std::string store = TrustFolder();
    // Elevated without a protected folder: the user's folder, as the program kept them
    // before. A version only ever raises what is demanded, so that still holds off
    // older lists from the network.
    if (store.empty() && !product.empty()) {
        if (QueryFileSize(product) != -2)
            EnsureDirectory(product);
        store = product;
    }
    if (store.empty())
        return {};
    std::vector<std::string> files{store + "lists.ini"};
    if (!product.empty()) {
        if (product != store)
            files.push_back(product + "lists.ini");
        // Earlier programs kept them beside the settings of "Updater" and of each game's name.
        for (const std::string& name : SubfolderNames(product, kMaxEarlierFolders))
            files.push_back(product + name + product.back() + "lists.ini");
    }
    const std::string elevated = ElevatedTrustFolder();
    if (!elevated.empty() && elevated != store)
        files.push_back(elevated + "lists.ini");
    return files;
}

int64_t ReadAcceptedVersion(const std::string& file, const std::string& target) {
    if (file.empty())
        return 0;
    IniOpen(file);
    IniSelectGroup(kVersionsGroup);
    const std::string text = IniReadString(VersionKey(target), "");
    IniClose();
    if (text.empty() || text.size() > kMaxVersionDigits)
        return 0;
    int64_t version = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        version = version * 10 + (c - '0');
    }
    return version;
}

void WriteAcceptedVersion(const std::string& file, const std::string& target, int64_t version) {
    if (file.empty() || version < 0)
        return;
    IniOpen(file);
    IniSelectGroup(kVersionsGroup);
    IniWriteString(VersionKey(target), std::to_string(version));
    IniClose();
}

}  // namespace zefo
