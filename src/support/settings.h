// The persisted settings (server, language, the server's pinned key), the per-game
// folder override and the versions of signed lists accepted so far. Failures are
// silent: a missing or unwritable file gives or keeps the defaults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zefo {

// Downloads at once when the settings name no other number.
inline constexpr int kDefaultConnections = 8;

struct Settings {
    std::string server;  // the update server: "host", "host:port", "http://host[:port]" or "https://host[:port]"
    std::string lang;    // language code: "en", "de" or "fi"; "---" while none is chosen
    std::string pin{};   // SHA-256 of the https server's public key (64 hex digits), or empty; read, never written
    int connections = kDefaultConnections;  // downloads at once, 1 to 32; read, never written
    // A proxy URL, or "none", that beats the system's proxy; empty: the system's. Read,
    // never written.
    std::string proxy{};
    // The download speed limit as the user wrote it ("500k", "2M", "0"); empty: none.
    // The front ends check it (net/network_options.h) before it is saved.
    std::string limitRate{};
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
// Writes "lang" then "server" to <product folder><folder>\settings.ini, then
// "limit_rate" when it is set or the file has one; a "pin" or "proxy" there stays
// as it is.
void WriteSettings(const std::string& folder, const Settings& settings);

// The files of the versions of accepted signed lists, one key per target. The first,
// "lists.ini" in the trust folder (see trust_folder.h; the product folder where that
// is empty), is the one store for every list, front end and mode. The others are read
// as a floor and never written: where earlier programs kept them (the product
// folder, beside the settings of the game list and of each game) and the store of
// elevated runs. Empty where nothing can be kept.
std::vector<std::string> ListVersionsFiles();
// The newest version accepted for the list `target` in `file`: 0 when none is kept.
int64_t ReadAcceptedVersion(const std::string& file, const std::string& target);
// Keeps `version` for `target` in `file`, replacing the file in one step.
void WriteAcceptedVersion(const std::string& file, const std::string& target, int64_t version);

// The product folder, ending in a separator ("%APPDATA%\Zefo\" on Windows).
std::string ProductFolder();
// The user's default language id (Windows LANGID; on POSIX derived from the locale).
int UserLanguageId();

}  // namespace zefo
