#include "support/translations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace zefo {
namespace {

class TranslationsTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetTranslations(); }
    void TearDown() override { ResetTranslations(); }
};

TEST_F(TranslationsTest, EachLanguageFillsAllKeysWithItsOwnTexts) {
    LoadTranslations("en");
    EXPECT_EQ(TranslationCount(), 38u);
    EXPECT_EQ(LookupText("ERR"), "Error");
    EXPECT_EQ(LookupText("LOADING"), "Loading \"$1\"...");
    EXPECT_EQ(LookupText("GAME_UPDATED"), "The game has been updated successfully .");
    EXPECT_EQ(LookupText("T_FILES_OLD"), "Unchanged files:");
    EXPECT_EQ(LookupText("ERR_LIST"), "The list sent by the server could not be read.");
    EXPECT_EQ(Translate("ERR_SIGNATURE", "expired"),
              "The list sent by the server was refused: the publisher's signature is missing, not valid or out of "
              "date (expired).");

    LoadTranslations("de");
    EXPECT_EQ(TranslationCount(), 38u);
    EXPECT_EQ(LookupText("ERR_NETWORK"), "Die Netzwerkfunktionen konnten nicht initalisiert werden.");
    EXPECT_EQ(LookupText("ERR_SERVER"), "Konnte den Server nicht erreichen.");
    EXPECT_EQ(LookupText("ERR_TIMEOUT"), "Konnte den Server nicht erreichen.");
    EXPECT_EQ(LookupText("FILES_NUM_NEW"),
              "$1 aktualisierte Datei(en) verf\xC3\xBC"
              "gbar.");
    EXPECT_EQ(LookupText("T_FILES_OLD"), "Unver\xC3\xA4nderte Dateien:");
    EXPECT_EQ(LookupText("ERR_LIST"), "Die Liste des Servers konnte nicht gelesen werden.");
    EXPECT_EQ(LookupText("ERR_SIGNATURE"),
              "Die Liste des Servers wurde abgewiesen: Die Signatur des Herausgebers fehlt, ist ung\xC3\xBCltig oder "
              "veraltet ($1).");

    LoadTranslations("fi");
    EXPECT_EQ(TranslationCount(), 38u);
    EXPECT_EQ(LookupText("GAME_UPDATED"), "The game has been updated successfully.");
    EXPECT_EQ(LookupText("ERR_NETWORK"), "Could not initialize network functions.");
    EXPECT_EQ(LookupText("BUTTON_UPDATE"), "P\xC3\xA4ivit\xC3\xA4");
    EXPECT_EQ(LookupText("GAME_UPDATING"), "P\xC3\xA4ivitet\xC3\xA4\xC3\xA4n leikin...");
    EXPECT_EQ(LookupText("ERR_FILE"), "Ei tavattu \"$1\".");
    EXPECT_EQ(LookupText("ERR_LIST"), "Palvelimen listaa ei voitu lukea.");
    EXPECT_EQ(
        LookupText("ERR_SIGNATURE"),
        "Palvelimen lista hyl\xC3\xA4ttiin: julkaisijan allekirjoitus puuttuu, ei kelpaa tai on vanhentunut ($1).");

    for (const char* code : {"en", "de", "fi"}) {
        LoadTranslations(code);
        EXPECT_EQ(LookupText("T_OPTIONS_SERVER"), "Server:") << code;
    }
    EXPECT_EQ(TranslationCount(), 38u);
}

TEST_F(TranslationsTest, ReloadOverwritesEveryKeyAndUnknownCodesChangeNothing) {
    LoadTranslations("en");
    std::vector<std::string> english;
    const char* keys[] = {"ERR", "ERR_GAME", "INSTALL", "UPDATE", "GAME_FAILED", "T_OPTIONS_LANG"};
    for (const char* key : keys)
        english.push_back(LookupText(key));

    LoadTranslations("de");
    EXPECT_EQ(LookupText("ERR"), "Fehler");
    LoadTranslations("en");
    for (size_t i = 0; i < english.size(); ++i)
        EXPECT_EQ(LookupText(keys[i]), english[i]) << keys[i];

    for (const char* code : {"EN", "", "fr", "en "})
        LoadTranslations(code);
    EXPECT_EQ(LookupText("ERR"), "Error");
    EXPECT_EQ(TranslationCount(), 38u);

    ResetTranslations();
    LoadTranslations("De");
    EXPECT_EQ(TranslationCount(), 0u);
}

TEST_F(TranslationsTest, PlaceholdersAreFilledInOrderWithoutRescanning) {
    LoadTranslations("en");
    EXPECT_EQ(Translate("LOADING", "maps/big map.dat"), "Loading \"maps/big map.dat\"...");
    EXPECT_EQ(Translate("FILES_NUM"), " file(s) found.");
    EXPECT_EQ(Translate("FILES_NUM", "12"), "12 file(s) found.");
    EXPECT_EQ(Translate("ERR"), LookupText("ERR"));
    // An argument holding "$1" is not scanned again; one holding "$2" is filled by the later step.
    EXPECT_EQ(Translate("ERR_FILE", "$1$1"), "Could not load \"$1$1\".");
    EXPECT_EQ(Translate("ERR_FILE", "a$2b", "X"), "Could not load \"aXb\".");
    EXPECT_EQ(Translate("ERR_FILE", "a$2b"), "Could not load \"a$2b\".");
    EXPECT_EQ(Translate("ERR_FILE", "$3$4", "", "3", "4"), "Could not load \"34\".");
    EXPECT_EQ(Translate("ERR_FILE", "$4", "", "", ""), "Could not load \"$4\".");
    // The plain lookup leaves placeholders alone.
    EXPECT_EQ(LookupText("GAME_FAILED"), "The game could not be updated. $1 file(s) could not be loaded.");
}

TEST_F(TranslationsTest, MissingKeysGiveEmptyTextAndOnlyTheLookupAddsThem) {
    LoadTranslations("en");
    EXPECT_EQ(Translate("ERR_WINDOW", "a", "b", "c", "d"), "");
    EXPECT_EQ(Translate("err"), "");
    EXPECT_EQ(Translate("ERR "), "");
    EXPECT_EQ(TranslationCount(), 38u);

    EXPECT_EQ(LookupText("ERR_WINDOW"), "");
    EXPECT_EQ(TranslationCount(), 39u);
    EXPECT_EQ(LookupText("ERR_WINDOW"), "");
    EXPECT_EQ(TranslationCount(), 39u);
    // A reload keeps the added key.
    LoadTranslations("de");
    EXPECT_EQ(TranslationCount(), 39u);
}

TEST_F(TranslationsTest, ReadersDuringReloadsSeeOnlyWholeTexts) {
    LoadTranslations("en");
    const std::string english = Translate("GAME_INSTALL_FAILED", "7");
    const std::string englishPlain = LookupText("GAME_LOADING_FILES");
    LoadTranslations("de");
    const std::string german = Translate("GAME_INSTALL_FAILED", "7");
    const std::string germanPlain = LookupText("GAME_LOADING_FILES");

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop.load(std::memory_order_acquire)) {
                std::string text = Translate("GAME_INSTALL_FAILED", "7");
                std::string plain = LookupText("GAME_LOADING_FILES");
                if ((text != english && text != german) || (plain != englishPlain && plain != germanPlain))
                    bad.fetch_add(1, std::memory_order_relaxed);
                reads.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    // On a busy machine the readers may start late: the reloads wait (at most 5 s) for a first read.
    for (int waited = 0; reads.load(std::memory_order_relaxed) == 0 && waited < 5000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 2000; ++i)
        LoadTranslations(i % 2 ? "de" : "en");
    stop.store(true, std::memory_order_release);
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

}  // namespace
}  // namespace zefo
