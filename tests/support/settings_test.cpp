#include "support/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "common/environment.h"
#include "common/temp_dir.h"
#include "support/trust_folder.h"

namespace zefo {
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

const std::string kBom = "\xEF\xBB\xBF\r\n";

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        // Wine sets APPDATA itself; the value is read anew at each call.
        test::SetEnvironment("APPDATA", root.path());
#else
        test::SetEnvironment("APPDATA", "");
        test::SetEnvironment("XDG_CONFIG_HOME", root.path());
        SetLocale("", "", "de_DE.UTF-8");
#endif
        product = root.path() + "Zefo" + kSeparator;
        updaterFile = product + "Updater" + kSeparator + "settings.ini";
    }

    static void SetLocale(const std::string& all, const std::string& messages, const std::string& lang) {
        test::SetEnvironment("LC_ALL", all);
        test::SetEnvironment("LC_MESSAGES", messages);
        test::SetEnvironment("LANG", lang);
    }

    // The code the first run settles on for this system's language.
    static std::string ExpectedLanguage() {
        switch (UserLanguageId() & 0xFF) {
            case 7:
                return "de";
            case 11:
                return "fi";
            default:
                return "en";
        }
    }

    // As the window program keeps them: read into `current`, written from it.
    void LoadSettings(const std::string& folder) {
        current = ReadSettings(folder, BuiltInLanguages());
    }
    void SaveSettings(const std::string& folder) {
        WriteSettings(folder, current);
    }
    void LoadGameSettings(const std::string& name) {
        gameFolder = ReadGameFolder(name, gameFolder);
    }
    Settings Current() const {
        return current;
    }

    Settings current;
    std::string gameFolder;

    test::TempDir root;
    std::string product;
    std::string updaterFile;
};

TEST_F(SettingsTest, FirstRunTakesDefaultsAndWritesNothingUntilSaved) {
    EXPECT_EQ(ProductFolder(), product);
    LoadSettings("Updater");
    const Settings loaded = Current();
    EXPECT_EQ(loaded.lang, ExpectedLanguage());
#ifndef _WIN32
    EXPECT_EQ(loaded.lang, "de");
#endif
    EXPECT_EQ(loaded.server, ZEFO_DEFAULT_SERVER);
    EXPECT_TRUE(test::FileExists(product + "Updater"));
    EXPECT_FALSE(test::FileExists(updaterFile));

    SaveSettings("Updater");
    EXPECT_EQ(test::ReadFileBytes(updaterFile),
              kBom + "[Program]\r\nlang = " + loaded.lang + "\r\nserver = " ZEFO_DEFAULT_SERVER "\r\n");
}

TEST_F(SettingsTest, SavedValuesComeBackAndTheFileKeepsItsOtherLines) {
    LoadSettings("Updater");
    current = Settings{"127.0.0.1:8080", "fi"};
    SaveSettings("Updater");
    EXPECT_EQ(test::ReadFileBytes(updaterFile), kBom + "[Program]\r\nlang = fi\r\nserver = 127.0.0.1:8080\r\n");

    current = Settings{};
    LoadSettings("Updater");
    EXPECT_EQ(Current().lang, "fi");
    EXPECT_EQ(Current().server, "127.0.0.1:8080");

    // A file the user edited: comments, other groups and the key order survive.
    test::WriteFileBytes(updaterFile, ";mine\r\n[Other]\r\nx=1\r\n[program]\r\nSERVER=old.example\r\nLANG=de\r\n");
    LoadSettings("Updater");
    EXPECT_EQ(Current().lang, "de");
    EXPECT_EQ(Current().server, "old.example");
    current.server = "new.example";
    SaveSettings("Updater");
    EXPECT_EQ(test::ReadFileBytes(updaterFile),
              kBom + "; mine\r\n[Other]\r\nx = 1\r\n[program]\r\nserver = new.example\r\nlang = de\r\n");
}

TEST_F(SettingsTest, LanguageDetectionRunsOnlyForTheNoLanguageMark) {
    LoadSettings("Updater");  // creates the folders

    test::WriteFileBytes(updaterFile, "[Program]\r\nlang = ---\r\n");
    LoadSettings("Updater");
    EXPECT_EQ(Current().lang, ExpectedLanguage());
    EXPECT_EQ(Current().server, ZEFO_DEFAULT_SERVER);

    // An empty code is a choice too: kept, and the interface has no texts.
    test::WriteFileBytes(updaterFile, "[Program]\r\nlang =\r\nserver = h\r\n");
    LoadSettings("Updater");
    EXPECT_EQ(Current().lang, "");
    EXPECT_EQ(Current().server, "h");

    test::WriteFileBytes(updaterFile, "[Program]\r\nlang = sv\r\n");
    LoadSettings("Updater");
    EXPECT_EQ(Current().lang, "sv");
}

#ifndef _WIN32
TEST_F(SettingsTest, LocaleGivesTheLanguageIdLikeWindows) {
    SetLocale("", "", "fi_FI.UTF-8");
    EXPECT_EQ(UserLanguageId(), 0x40B);
    SetLocale("", "de_AT@euro", "fi_FI.UTF-8");
    EXPECT_EQ(UserLanguageId(), 0x407);
    SetLocale("en_GB.UTF-8", "de_AT", "fi_FI");
    EXPECT_EQ(UserLanguageId(), 0x409);
    SetLocale("", "", "C.UTF-8");
    EXPECT_EQ(UserLanguageId(), 0);
    SetLocale("", "", "");
    EXPECT_EQ(UserLanguageId(), 0);

    SetLocale("", "", "fr_FR.UTF-8");
    EXPECT_EQ(UserLanguageId(), 0x40C);
    LoadSettings("Updater");
    EXPECT_EQ(Current().lang, "en");
    SetLocale("", "", "fi");
    LoadSettings("Updater");
    EXPECT_EQ(Current().lang, "fi");
}

TEST_F(SettingsTest, ProductFolderFollowsAppDataThenXdgThenHome) {
    test::TempDir home;
    test::SetEnvironment("HOME", home.path());
    test::SetEnvironment("XDG_CONFIG_HOME", "");
    EXPECT_EQ(ProductFolder(), home.path() + ".config/Zefo/");
    test::SetEnvironment("XDG_CONFIG_HOME", "relative/dir");  // not absolute: ignored
    EXPECT_EQ(ProductFolder(), home.path() + ".config/Zefo/");

    // A missing ~/.config is created with the product folder.
    SaveSettings("Updater");
    EXPECT_TRUE(test::FileExists(home.path() + ".config/Zefo/Updater/settings.ini"));

    test::SetEnvironment("APPDATA", root.path());
    EXPECT_EQ(ProductFolder(), product);
}
#else
TEST_F(SettingsTest, WithoutAppDataNothingIsReadOrWritten) {
    test::SetEnvironment("APPDATA", "");
    EXPECT_EQ(ProductFolder(), "");
    LoadSettings("Updater");
    EXPECT_EQ(Current().server, ZEFO_DEFAULT_SERVER);
    EXPECT_EQ(Current().lang, ExpectedLanguage());
    SaveSettings("Updater");
    test::SetEnvironment("APPDATA", root.path());
    EXPECT_FALSE(test::FileExists(product));
}
#endif

TEST_F(SettingsTest, GameSettingsReplaceTheFolderOnlyFromTheGamesOwnFile) {
    gameFolder = "from-game-dat";

    LoadGameSettings("My Game");  // no file: unchanged, folder made
    EXPECT_EQ(gameFolder, "from-game-dat");
    EXPECT_TRUE(test::FileExists(product + "My Game"));

    test::WriteFileBytes(product + "My Game" + kSeparator + "settings.ini", "[update]\r\nGame = moved\r\n");
    LoadGameSettings("My Game");
    EXPECT_EQ(gameFolder, "moved");
    EXPECT_EQ(test::ReadFileBytes(product + "My Game" + kSeparator + "settings.ini"), "[update]\r\nGame = moved\r\n");

    // Installer mode: the empty name reads the file in the product folder itself.
    test::WriteFileBytes(product + "settings.ini", "[Update]\r\ngame = top\r\n");
    LoadGameSettings("");
    EXPECT_EQ(gameFolder, "top");

    // The name comes from a downloaded file: it never leads out of the product folder.
    test::WriteFileBytes(root.path() + "settings.ini", "[Update]\r\ngame = escaped\r\n");
    for (const char* name : {"..", "../Zefo", "..\\Zefo", "a/b", "a\\b", "CON", "x:y"}) {
        LoadGameSettings(name);
        EXPECT_EQ(gameFolder, "top") << name;
    }
    EXPECT_FALSE(test::FileExists(product + "a"));
}

TEST_F(SettingsTest, ThePinIsReadAndLeftAsItIsBySaves) {
    const std::string pin(64, 'a');
    LoadSettings("Updater");
    EXPECT_EQ(Current().pin, "");
    test::WriteFileBytes(updaterFile, "[Program]\r\npin = " + pin + "\r\nserver = https://h\r\n");
    LoadSettings("Updater");
    EXPECT_EQ(Current().pin, pin);
    EXPECT_EQ(Current().server, "https://h");
    current.pin = "changed by the program";
    current.server = "https://other";
    SaveSettings("Updater");
    EXPECT_EQ(test::ReadFileBytes(updaterFile),
              kBom + "[Program]\r\npin = " + pin + "\r\nserver = https://other\r\nlang = " + current.lang + "\r\n");
}

TEST_F(SettingsTest, ProxyAndSpeedLimitAreReadAndOnlyTheLimitIsWritten) {
    LoadSettings("Updater");  // makes the folders
    test::WriteFileBytes(updaterFile,
                         "[Program]\r\nproxy = http://proxy.example:3128\r\nlimit_rate = 500k\r\nlang = en\r\n");
    LoadSettings("Updater");
    EXPECT_EQ(Current().proxy, "http://proxy.example:3128");
    EXPECT_EQ(Current().limitRate, "500k");
    current.proxy = "none";
    current.limitRate = "2M";
    current.server = "h";
    SaveSettings("Updater");
    EXPECT_EQ(
        test::ReadFileBytes(updaterFile),
        kBom + "[Program]\r\nproxy = http://proxy.example:3128\r\nlimit_rate = 2M\r\nlang = en\r\nserver = h\r\n");
    // A limit taken away is written as none; a file that never had one gets none.
    current.limitRate.clear();
    SaveSettings("Updater");
    EXPECT_EQ(test::ReadFileBytes(updaterFile),
              kBom + "[Program]\r\nproxy = http://proxy.example:3128\r\nlimit_rate = \r\nlang = en\r\nserver = h\r\n");
    test::WriteFileBytes(updaterFile, "[Program]\r\nlang = en\r\n");
    SaveSettings("Updater");
    EXPECT_EQ(test::ReadFileBytes(updaterFile), kBom + "[Program]\r\nlang = en\r\nserver = h\r\n");
    // Texts far longer than any proxy or limit are none.
    test::WriteFileBytes(updaterFile, "[Program]\r\nproxy = http://" + std::string(5000, 'p') + "\r\n");
    LoadSettings("Updater");
    EXPECT_EQ(Current().proxy, "");
}

TEST_F(SettingsTest, AcceptedListVersionsAreKeptPerTargetInOneStore) {
    // Earlier programs kept them beside the settings of each name: read as a floor.
    for (const char* name : {"My Game", "Updater"})
        std::filesystem::create_directories(std::filesystem::u8path(product + name));
    test::WriteFileBytes(product + "not a folder", "");
    std::vector<std::string> files = ListVersionsFiles();
    ASSERT_FALSE(files.empty());
    // The store is the trust folder's: the product folder unless the run is elevated
    // (every run under Wine), and then the product folder's own file is a floor too.
    EXPECT_EQ(files.front(), TrustFolder() + "lists.ini");
    std::vector<std::string> floors = {product + "My Game" + kSeparator + "lists.ini",
                                       product + "Updater" + kSeparator + "lists.ini"};
    if (files.front() != product + "lists.ini")
        floors.push_back(product + "lists.ini");
    std::sort(files.begin() + 1, files.end());
    std::sort(floors.begin(), floors.end());
    EXPECT_EQ(std::vector<std::string>(files.begin() + 1, files.end()), floors);
    const std::string file = product + "lists.ini";
    EXPECT_EQ(ReadAcceptedVersion(file, "/"), 0);
    // Folder names may hold what a key line cannot.
    const std::string odd = "/a = b;[c] d/";
    WriteAcceptedVersion(file, "/", 1700000000);
    WriteAcceptedVersion(file, odd, 1700000005);
    WriteAcceptedVersion(file, "/", 1700000001);
    EXPECT_EQ(ReadAcceptedVersion(file, "/"), 1700000001);
    EXPECT_EQ(ReadAcceptedVersion(file, odd), 1700000005);
    EXPECT_EQ(ReadAcceptedVersion(file, "/a/"), 0);
    EXPECT_EQ(test::ReadFileBytes(file),
              kBom + "[Signed lists]\r\n/ = 1700000001\r\n/a%20%3D%20b%3B%5Bc%5D%20d/ = 1700000005\r\n");
    // A value that is no version counts as none.
    test::WriteFileBytes(file, "[Signed lists]\r\n/ = -5\r\n");
    EXPECT_EQ(ReadAcceptedVersion(file, "/"), 0);
}

TEST_F(SettingsTest, FailuresAreSilentAndGiveTheDefaults) {
    // A file stands where the product folder should be.
    test::WriteFileBytes(root.path() + "Zefo", "not a folder");
    LoadSettings("Updater");
    EXPECT_EQ(Current().server, ZEFO_DEFAULT_SERVER);
    EXPECT_EQ(Current().lang, ExpectedLanguage());
    SaveSettings("Updater");
    LoadGameSettings("Game");
    EXPECT_EQ(test::ReadFileBytes(root.path() + "Zefo"), "not a folder");
}

}  // namespace
}  // namespace zefo
