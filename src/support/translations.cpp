#include "support/translations.h"

#include <iterator>
#include <map>
#include <mutex>

namespace zefo {

namespace {

// Keys in the order they are assigned; every language has one text per key, in the same order.
constexpr const char* kKeys[] = {
    "ERR",
    "ERR_GAME",
    "ERR_NETWORK",
    "ERR_SERVER",
    "ERR_TIMEOUT",
    "ERR_FILE",
    "LOADING_GAMES",
    "INSTALL_TO",
    "LOADING",
    "GAMES_LOADED",
    "FILES_LOADED",
    "FILES_NUM",
    "FILES_NUM_NEW",
    "BUTTON_INSTALL",
    "BUTTON_UPDATE",
    "BUTTON_FILES",
    "BUTTON_OPTIONS",
    "BUTTON_OPTIONS_SAVE",
    "BUTTON_OPTIONS_CANCEL",
    "TITLE_FILES",
    "TITLE_OPTIONS",
    "INSTALL",
    "UPDATE",
    "GAME_INSTALLED",
    "GAME_INSTALL_FAILED",
    "GAME_INSTALLING",
    "GAME_LOADING_FILES",
    "GAME_UPDATING",
    "GAME_UPDATED",
    "GAME_FAILED",
    "T_OPTIONS_LANG",
    "T_OPTIONS_SERVER",
    "T_FILES_NEW",
    "T_FILES_OLD",
    "ERR_LIST",
    "ERR_SIGNATURE",
    "T_OPTIONS_LIMIT",
    "ERR_LIMIT",
};
constexpr const char* kDeTexts[] = {
    "Fehler",
    "Das angegebene Spiel ist dem Server nicht bekannt.",
    "Die Netzwerkfunktionen konnten nicht initalisiert werden.",
    "Konnte den Server nicht erreichen.",
    "Konnte den Server nicht erreichen.",
    "Konnte \"$1\" nicht laden.",
    "Lade Spiele...",
    "Installieren in...",
    "Lade \"$1\"...",
    "Spielliste wurde geladen.",
    "Dateiliste wurde geladen.",
    "$1 Datei(en) gefunden.",
    "$1 aktualisierte Datei(en) verfügbar.",
    "Installieren",
    "Aktualisieren",
    "Dateien anzeigen",
    "Einstellungen",
    "Speichern",
    "Abbrechen",
    "Dateiliste",
    "Einstellungen",
    "Willkommen beim Zefo Installer.",
    "Willkommen beim Zefo Updater.",
    "Das Spiel wurde erfolgreich installiert.",
    "Das Spiel konnte nicht installiert werden. $1 Datei(en) konnte(n) nicht geladen werden.",
    "Installiere \"$1\"...",
    "Lade Dateiliste für \"$1\"...",
    "Aktualisiere Spiel...",
    "Das Spiel wurde erfolgreich aktualisiert.",
    "Das Spiel konnte nicht aktualisiert werden. $1 Datei(en) konnte(n) nicht geladen werden.",
    "Sprache:",
    "Server:",
    "Aktualisierte Dateien:",
    "Unveränderte Dateien:",
    "Die Liste des Servers konnte nicht gelesen werden.",
    "Die Liste des Servers wurde abgewiesen: Die Signatur des Herausgebers fehlt, ist ungültig oder veraltet ($1).",
    "Bandbreite:",
    "Die Bandbreite ist eine Zahl von Bytes je Sekunde, wahlweise mit k, M oder G dahinter (etwa 500k); leer oder 0 "
    "heißt unbegrenzt.",
};
constexpr const char* kEnTexts[] = {
    "Error",
    "The specified game does not exist on the server.",
    "Could not initialize network functions.",
    "Could not connect to server.",
    "The request to the server timed out.",
    "Could not load \"$1\".",
    "Loading games...",
    "Install to...",
    "Loading \"$1\"...",
    "Game list has been loaded.",
    "File list has been loaded.",
    "$1 file(s) found.",
    "$1 updated file(s) available.",
    "Install",
    "Update",
    "Show files",
    "Settings",
    "Save",
    "Cancel",
    "File list",
    "Settings",
    "Welcome to the Zefo Installer.",
    "Welcome to the Zefo Updater.",
    "The game has been installed successfully.",
    "The game could not be installed. $1 file(s) could not be loaded.",
    "Installing \"$1\"...",
    "Loading file list for \"$1\"...",
    "Updating game...",
    "The game has been updated successfully .",
    "The game could not be updated. $1 file(s) could not be loaded.",
    "Language:",
    "Server:",
    "Updated files:",
    "Unchanged files:",
    "The list sent by the server could not be read.",
    "The list sent by the server was refused: the publisher's signature is missing, not valid or out of date ($1).",
    "Speed limit:",
    "The speed limit is a number of bytes per second, optionally followed by k, M or G (for example 500k); empty or 0 "
    "means no limit.",
};
constexpr const char* kFiTexts[] = {
    "Virhe",
    "Peli ei ole serverilla.",
    "Could not initialize network functions.",
    "Could not connect to server.",
    "The request to the server timed out.",
    "Ei tavattu \"$1\".",
    "Ladataan pelit...",
    "Asenna...",
    "Ladataan \"$1\"...",
    "Pelilista ladattiin.",
    "Tiedostolista ladattiin.",
    "$1 tiedosto(t) löydettiin.",
    "$1 uutta tiedostoa käsilla.",
    "Asenna",
    "Päivitä",
    "Näytä tiedostoja",
    "Asetukset",
    "Tallenna",
    "Kumoa",
    "Tiedostolista",
    "Asetukset",
    "Tervetuola Zefo Installerista.",
    "Tervetuola Zefo Updaterista.",
    "The game has been installed successfully.",
    "The game could not be installed. $1 file(s) could not be loaded.",
    "Asentaan \"$1\"...",
    "Loading file list for \"$1\"...",
    "Päivitetään leikin...",
    "The game has been updated successfully.",
    "The game could not be updated. $1 file(s) could not be loaded.",
    "Kieli:",
    "Server:",
    "Updated files:",
    "Unchanged files:",
    "Palvelimen listaa ei voitu lukea.",
    "Palvelimen lista hylättiin: julkaisijan allekirjoitus puuttuu, ei kelpaa tai on vanhentunut ($1).",
    "Nopeusraja:",
    "Nopeusraja on tavujen määrä sekunnissa, perässä halutessa k, M tai G (esimerkiksi 500k); tyhjä tai 0 tarkoittaa "
    "rajatonta.",
};
static_assert(std::size(kKeys) == std::size(kDeTexts));
static_assert(std::size(kKeys) == std::size(kEnTexts));
static_assert(std::size(kKeys) == std::size(kFiTexts));

// Workers look texts up while the main thread may reload the table from the options
// window; every access holds the lock and readers get copies.
std::mutex tableLock;
std::map<std::string, std::string, std::less<>> table;

const char* const* TextsFor(const std::string& code) {
    if (code == "de")
        return kDeTexts;
    if (code == "en")
        return kEnTexts;
    if (code == "fi")
        return kFiTexts;
    return nullptr;
}

// Replaces every occurrence of `placeholder` from left to right; inserted text is not scanned again.
std::string ReplaceAll(const std::string& text, std::string_view placeholder, const std::string& value) {
    std::string result;
    result.reserve(text.size());
    size_t from = 0;
    for (;;) {
        size_t found = text.find(placeholder, from);
        if (found == std::string::npos)
            break;
        result.append(text, from, found - from);
        result += value;
        from = found + placeholder.size();
    }
    result.append(text, from, std::string::npos);
    return result;
}

}  // namespace

void LoadTranslations(const std::string& code) {
    const char* const* texts = TextsFor(code);
    if (!texts)
        return;
    std::lock_guard lock(tableLock);
    for (size_t i = 0; i < std::size(kKeys); ++i)
        table[kKeys[i]] = texts[i];
}

std::string Translate(const std::string& key,
                      const std::string& arg1,
                      const std::string& arg2,
                      const std::string& arg3,
                      const std::string& arg4) {
    std::string text;
    {
        std::lock_guard lock(tableLock);
        auto found = table.find(key);
        if (found == table.end())
            return {};
        text = found->second;
    }
    text = ReplaceAll(text, "$1", arg1);
    if (!arg2.empty())
        text = ReplaceAll(text, "$2", arg2);
    if (!arg3.empty())
        text = ReplaceAll(text, "$3", arg3);
    if (!arg4.empty())
        text = ReplaceAll(text, "$4", arg4);
    return text;
}

std::string LookupText(const std::string& key) {
    std::lock_guard lock(tableLock);
    return table[key];
}

size_t TranslationCount() {
    std::lock_guard lock(tableLock);
    return table.size();
}

void ResetTranslations() {
    std::lock_guard lock(tableLock);
    table.clear();
}

}  // namespace zefo
