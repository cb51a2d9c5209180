#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "support/settings.h"

namespace zefo {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string HomeFolder() {
    std::string home = Environment("HOME");
    if (!home.empty())
        return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

// Windows primary language ids of the ISO 639-1 codes a locale name starts with.
struct LanguageCode {
    const char* code;
    int primary;
};
constexpr LanguageCode kLanguages[] = {
    {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06}, {"de", 0x07}, {"el", 0x08},
    {"en", 0x09}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C}, {"he", 0x0D}, {"hu", 0x0E}, {"is", 0x0F}, {"it", 0x10},
    {"ja", 0x11}, {"ko", 0x12}, {"nl", 0x13}, {"nb", 0x14}, {"nn", 0x14}, {"no", 0x14}, {"pl", 0x15}, {"pt", 0x16},
    {"rm", 0x17}, {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1A}, {"sr", 0x1A}, {"bs", 0x1A}, {"sk", 0x1B}, {"sq", 0x1C},
    {"sv", 0x1D}, {"th", 0x1E}, {"tr", 0x1F}, {"ur", 0x20}, {"id", 0x21}, {"uk", 0x22}, {"be", 0x23}, {"sl", 0x24},
    {"et", 0x25}, {"lv", 0x26}, {"lt", 0x27}, {"fa", 0x29}, {"vi", 0x2A}, {"hy", 0x2B}, {"az", 0x2C}, {"eu", 0x2D},
    {"mk", 0x2F}, {"af", 0x36}, {"ka", 0x37}, {"fo", 0x38}, {"hi", 0x39}, {"ga", 0x3C}, {"ms", 0x3E}, {"kk", 0x3F},
    {"sw", 0x41}, {"uz", 0x43}, {"bn", 0x45}, {"ta", 0x49}, {"cy", 0x52}, {"gl", 0x56},
};

}  // namespace

std::string ProductFolder() {
    // APPDATA is honoured when someone sets it; Linux normally has only the XDG folders.
    std::string base = Environment("APPDATA");
    if (base.empty()) {
        base = Environment("XDG_CONFIG_HOME");
        // Relative values are invalid by the XDG rules and ignored.
        if (base.empty() || base.front() != '/') {
            std::string home = HomeFolder();
            while (home.size() > 1 && home.back() == '/')
                home.pop_back();
            base = home.empty() ? std::string() : (home == "/" ? std::string() : home) + "/.config";
        }
    }
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base.empty())
        return {};
    if (base == "/")
        base.clear();
    return base + "/Zefo/";
}

int UserLanguageId() {
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        locale = Environment(name);
        if (!locale.empty())
            break;
    }
    // "de_DE.UTF-8", "fi_FI@euro", "en": the language is the leading letters.
    std::string language;
    for (char c : locale) {
        c = LowerAscii(c);
        if (c < 'a' || c > 'z')
            break;
        language += c;
    }
    for (const LanguageCode& entry : kLanguages) {
        if (language == entry.code)
            return 0x400 | entry.primary;  // SUBLANG_DEFAULT, as Windows reports it
    }
    return 0;
}

}  // namespace zefo
