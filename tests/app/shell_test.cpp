// The application shell with the headless toolkit: start-up and mode
// selection, the window state tables, the options and files windows and the
// loop's end. Runs against real files in a temporary game folder.
#include "app/shell.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/program_settings.h"
#include "base/file_system.h"
#include "common/environment.h"
#include "common/scripted_server.h"
#include "common/temp_dir.h"
#include "common/test_data.h"
#include "support/settings.h"
#include "support/translations.h"
#include "sync/launch.h"
#include "ui/toolkit_headless.h"

namespace zefo {
namespace {

using test::Md5Of;
using test::ReadFileBytes;
using test::WriteFileBytes;

class ShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetState();
        ResetTranslations();
        ui::SetToolkit(&ui);
        // Settings go to a folder of this test, never to the user's.
        test::SetEnvironment("APPDATA", config.path());
        test::SetEnvironment("XDG_CONFIG_HOME", config.path());
        MakeDirectory(game / "data");
    }
    void TearDown() override {
        // The loaders and workers use the state until they return.
        EXPECT_TRUE(WaitForThreads(30000));
        ReleaseResources();
        ui::SetToolkit(nullptr);
        ResetState();
    }

    // The main window as start-up opens it, without the network or settings.
    void OpenMainWindow(bool updaterMode) {
        AppState& state = State();
        state.languageList = {{7, "de", "Deutsch"}, {9, "en", "English"}, {11, "fi", "Suomi"}};
        state.settings = {"127.0.0.1:9", "en"};
        state.updaterMode.store(updaterMode ? 1 : 0);
        LoadTranslations("en");
        ui.OpenWindow(mainWindow, 0, 0, 400, 325, "Zefo Updater", 0);
    }

    // The updater's gadgets and a file list as the loader hands it over.
    void HandOver(const std::vector<FileEntry>& entries) {
        OpenMainWindow(true);
        ui::Toolkit& toolkit = ui;
        toolkit.ButtonGadget(actionButton, 4, 300, 128, 20, "Update");
        toolkit.ButtonGadget(filesButton, 136, 300, 128, 20, "Show files");
        toolkit.ButtonGadget(optionsButton, 268, 300, 128, 20, "Settings");
        toolkit.TextListGadget(statusList, 5, 5, 390, 265);
        toolkit.ProgressBarGadget(progressBar, 5, 275, 390, 20, 0, 100);
        toolkit.DisableGadget(actionButton, 1);
        toolkit.DisableGadget(filesButton, 1);
        State().fileList = entries;
        State().filesLoaded.store(1);
        // The files are compared beside the loop; the Show-files button comes back at the end.
        EventLoopPass();
        ASSERT_TRUE(PassUntil([&] { return Enabled(filesButton); }));
    }

    std::vector<std::string> Status() const { return ui.Items(statusList); }
    std::string LastStatus() const {
        auto lines = Status();
        return lines.empty() ? std::string() : lines.back();
    }
    // Runs loop passes until `done` holds; false when 20 s pass first.
    bool PassUntil(const std::function<bool()>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            EventLoopPass();
        }
        return true;
    }
    // A program settings file naming the scripted server.
    // One download at a time: these tests follow the files in list order.
    void WriteSettings(const std::string& server) {
        EnsureDirectory(ProductFolder() + "Updater/");
        WriteFileBytes(ProductFolder() + "Updater/settings.ini",
                       "[Program]\r\nlang = en\r\nserver = " + server + "\r\nconnections = 1\r\n");
    }
    bool Enabled(int gadget) const { return ui.Gadget(gadget).enabled; }

    ui::HeadlessToolkit ui;
    test::TempDir game;
    test::TempDir config;
    test::TempDir tools;
    test::ScopedCurrentDirectory inGame{game.path()};
};

TEST_F(ShellTest, GameDatSelectsUpdaterModeAndItsLines) {
    WriteFileBytes(game / "data/game.dat", "My Game\r\nmygame\r\n");
    ASSERT_TRUE(StartUp());
    AppState& state = State();
    EXPECT_EQ(state.updaterMode.load(), 1);
    EXPECT_EQ(state.gameName, "My Game");
    EXPECT_EQ(state.gameFolder, "mygame");
    ASSERT_EQ(state.languageList.size(), 3u);
    EXPECT_EQ(state.languageList[0].code, "de");
    EXPECT_EQ(state.languageList[1].name, "English");
    EXPECT_EQ(state.languageList[2].id, 11);
    EXPECT_NE(state.settings.lang, "---");
    auto main = ui.Window(mainWindow);
    EXPECT_EQ(main.title, "Zefo Updater");
    EXPECT_EQ(main.width, 400);
    EXPECT_EQ(main.height, 325);
    EXPECT_TRUE(main.flags & ui::kWindowMinimize);
}

TEST_F(ShellTest, ShortOrEmptyGameDatStillSelectsUpdaterMode) {
    WriteFileBytes(game / "data/game.dat", "Only Name");
    ASSERT_TRUE(StartUp());
    EXPECT_EQ(State().updaterMode.load(), 1);
    EXPECT_EQ(State().gameName, "Only Name");
    EXPECT_EQ(State().gameFolder, "");
    ReleaseResources();

    ResetState();
    WriteFileBytes(game / "data/game.dat", "");
    ASSERT_TRUE(StartUp());
    EXPECT_EQ(State().updaterMode.load(), 1);
    EXPECT_EQ(State().gameName, "");
}

TEST_F(ShellTest, PerGameSettingsReplaceTheServerFolder) {
    WriteFileBytes(game / "data/game.dat", "My Game\nmygame\n");
    std::string folder = ProductFolder() + "My Game/";
    EnsureDirectory(folder);
    WriteFileBytes(folder + "settings.ini", "[Update]\r\ngame = mygame-beta\r\n");
    ASSERT_TRUE(StartUp());
    EXPECT_EQ(State().gameFolder, "mygame-beta");
}

TEST_F(ShellTest, NoGameDatMeansInstallerMode) {
    ASSERT_TRUE(StartUp());
    EXPECT_EQ(State().updaterMode.load(), 0);
    EXPECT_EQ(State().gameName, "");
}

TEST_F(ShellTest, MainWindowFailureShowsTheErrorTitleOverAnEmptyText) {
    ui.FailNextOpen(mainWindow);
    EXPECT_FALSE(StartUp());
    auto messages = ui.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_FALSE(messages[0].title.empty());  // "Error" in the detected language
    EXPECT_EQ(messages[0].text, "");          // no language has a text for it
    EXPECT_EQ(messages[0].flags, ui::kMessageWarning);
}

TEST_F(ShellTest, HandOffCountsMissingChangedAndUnsafeFiles) {
    WriteFileBytes(game / "same.txt", "same");
    WriteFileBytes(game / "changed.txt", "new here");
    WriteFileBytes(game / "upper.txt", "upper");
    MakeDirectory(game / "folder");
    std::vector<FileEntry> entries = {
        {"same.txt", Md5Of("same")},
        {"changed.txt", Md5Of("old")},
        {"missing.txt", Md5Of("x")},
        {"folder", Md5Of("")},
        {"upper.txt",
         [] {
             std::string hex = Md5Of("upper");
             for (char& c : hex)
                 c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
             return hex;
         }()},
        {"../same.txt", Md5Of("same")},
    };
    HandOver(entries);

    // A fingerprint in upper-case letters matches the file all the same.
    AppState& state = State();
    EXPECT_EQ(state.updateCount, 4);
    for (size_t i = 0; i < state.fileList.size(); ++i) {
        const bool same = i == 0 || i == 4;
        EXPECT_EQ(state.fileList[i].upToDate.load(), same ? 1 : 0) << state.fileList[i].path;
        EXPECT_EQ(state.fileList[i].chosen.load(), 1);
    }
    EXPECT_EQ(Status(), (std::vector<std::string>{"6 file(s) found.", "4 updated file(s) available."}));
    EXPECT_TRUE(Enabled(actionButton));
    EXPECT_TRUE(Enabled(filesButton));
    EXPECT_EQ(state.filesLoaded.load(), 0);
}

TEST_F(ShellTest, HandOffWithNothingToUpdateOrAnEmptyList) {
    WriteFileBytes(game / "a.txt", "a");
    HandOver({{"a.txt", Md5Of("a")}});
    EXPECT_EQ(Status(), (std::vector<std::string>{"1 file(s) found.", "0 updated file(s) available."}));
    EXPECT_FALSE(Enabled(actionButton));
    EXPECT_TRUE(Enabled(filesButton));

    ui.CloseWindow(mainWindow);
    HandOver({});
    EXPECT_EQ(Status(), (std::vector<std::string>{"0 file(s) found."}));
    EXPECT_FALSE(Enabled(actionButton));
    EXPECT_TRUE(Enabled(filesButton));
}

TEST_F(ShellTest, FilesWindowListsAndTakesOverCheckMarks) {
    WriteFileBytes(game / "old.txt", "old");
    HandOver({{"old.txt", Md5Of("old")}, {"a.pak", "1"}, {"b.pak", "2"}, {"a.pak", "3"}});
    State().fileList[2].chosen.store(0);  // unchecked in an earlier visit

    ASSERT_TRUE(ui.Click(filesButton));
    EventLoopPass();
    ASSERT_TRUE(ui.HasWindow(filesWindow));
    EXPECT_FALSE(ui.Window(mainWindow).enabled);
    EXPECT_EQ(ui.Items(oldFilesList), (std::vector<std::string>{"old.txt"}));
    EXPECT_EQ(ui.Items(newFilesList), (std::vector<std::string>{"a.pak", "b.pak", "a.pak"}));
    EXPECT_EQ(ui.GetItemState(newFilesList, 0), ui::kItemChecked);
    EXPECT_EQ(ui.GetItemState(newFilesList, 1), 0);
    EXPECT_TRUE(ui.Gadget(newFilesList).flags & ui::kReportCheckBoxes);
    EXPECT_FALSE(ui.Gadget(oldFilesList).flags & ui::kReportCheckBoxes);
    EXPECT_TRUE(ui.Gadget(newFilesList).columnFitted);

    // The highlighted row's check box alone decides; with two rows of one path
    // the later row's state is stored in both entries.
    ui.SelectItem(newFilesList, 0);
    ui.CheckItem(newFilesList, 0, false);
    ui.CheckItem(newFilesList, 1, true);
    ui.CheckItem(newFilesList, 2, true);
    ui.QueueCloseEvent(filesWindow);
    EventLoopPass();

    AppState& state = State();
    EXPECT_FALSE(ui.HasWindow(filesWindow));
    EXPECT_TRUE(ui.Window(mainWindow).enabled);
    EXPECT_FALSE(ui.Window(mainWindow).topmost);
    EXPECT_EQ(state.fileList[1].chosen.load(), 1);
    EXPECT_EQ(state.fileList[3].chosen.load(), 1);
    EXPECT_EQ(state.fileList[2].chosen.load(), 1);
    EXPECT_EQ(state.fileList[0].chosen.load(), 1);  // unchanged files keep theirs
    EXPECT_EQ(state.updateAvailable, 1);
    EXPECT_TRUE(Enabled(actionButton));

    // Unchecking every row disables the Update button; checking one enables it again.
    ASSERT_TRUE(ui.Click(filesButton));
    EventLoopPass();
    for (int row = 0; row < 3; ++row)
        ui.CheckItem(newFilesList, row, false);
    ui.QueueCloseEvent(filesWindow);
    EventLoopPass();
    EXPECT_EQ(state.updateAvailable, 0);
    EXPECT_FALSE(Enabled(actionButton));
    EXPECT_EQ(state.fileList[1].chosen.load(), 0);

    ASSERT_TRUE(ui.Click(filesButton));
    EventLoopPass();
    EXPECT_EQ(ui.GetItemState(newFilesList, 0), 0);
    ui.CheckItem(newFilesList, 1, true);
    ui.QueueCloseEvent(filesWindow);
    EventLoopPass();
    EXPECT_TRUE(Enabled(actionButton));
}

TEST_F(ShellTest, FilesWindowNeverEnablesUpdateWhileAnUpdateRuns) {
    HandOver({{"a.pak", "1"}});
    State().updateRunning.store(1);
    ui.DisableGadget(actionButton, 1);
    ASSERT_TRUE(ui.Click(filesButton));
    EventLoopPass();
    ui.QueueCloseEvent(filesWindow);
    EventLoopPass();
    EXPECT_EQ(State().updateAvailable, 1);
    EXPECT_FALSE(Enabled(actionButton));

    // A click on Update while a worker runs starts nothing.
    UpdateClick();
    EXPECT_EQ(Status().back(), "1 updated file(s) available.");
}

TEST_F(ShellTest, OptionsSaveWithoutLanguageChange) {
    HandOver({});
    ASSERT_TRUE(ui.Click(optionsButton));
    EventLoopPass();
    ASSERT_TRUE(ui.HasWindow(optionsWindow));
    EXPECT_EQ(ui.Window(optionsWindow).title, "Settings");
    EXPECT_FALSE(ui.Window(mainWindow).enabled);
    EXPECT_EQ(ui.Items(languageCombo), (std::vector<std::string>{"Deutsch", "English", "Suomi"}));
    EXPECT_EQ(ui.GetState(languageCombo), 1);
    EXPECT_EQ(ui.GetText(serverField), "127.0.0.1:9");

    ui.TypeText(serverField, " updates.example.test ");
    ASSERT_TRUE(ui.Click(saveButton));
    EventLoopPass();

    AppState& state = State();
    EXPECT_FALSE(ui.HasWindow(optionsWindow));
    EXPECT_TRUE(ui.Window(mainWindow).enabled);
    EXPECT_EQ(state.settings.server, " updates.example.test ");  // taken as it stands
    EXPECT_EQ(state.restartRequested.load(), 0);
    EXPECT_EQ(ReadFileBytes(ProductFolder() + "Updater/settings.ini"),
              "\xEF\xBB\xBF\r\n[Program]\r\nlang = en\r\nserver =  updates.example.test \r\n");
}

TEST_F(ShellTest, OptionsSpeedLimitIsRefusedUnlessReadableThenSavedAndTakenAtOnce) {
    HandOver({});
    AppState& state = State();
    ASSERT_TRUE(ui.Click(optionsButton));
    EventLoopPass();
    EXPECT_EQ(ui.GetText(limitField), "");
    ui.TypeText(serverField, "elsewhere");
    ui.TypeText(limitField, "fast");
    ASSERT_TRUE(ui.Click(saveButton));
    EventLoopPass();
    // Refused as a whole: the window stays with the edits, nothing is taken or written.
    ASSERT_EQ(ui.Messages().size(), 1u);
    EXPECT_EQ(ui.Messages()[0].title, "Error");
    EXPECT_EQ(ui.Messages()[0].text, LookupText("ERR_LIMIT"));
    EXPECT_EQ(ui.Messages()[0].flags, ui::kMessageWarning);
    EXPECT_TRUE(ui.HasWindow(optionsWindow));
    EXPECT_FALSE(ui.Window(mainWindow).enabled);
    EXPECT_EQ(ui.GetText(serverField), "elsewhere");
    EXPECT_EQ(state.settings.server, "127.0.0.1:9");
    EXPECT_EQ(state.settings.limitRate, "");
    EXPECT_FALSE(test::FileExists(ProductFolder() + "Updater/settings.ini"));

    ui.TypeText(limitField, "1.5M");
    ASSERT_TRUE(ui.Click(saveButton));
    EventLoopPass();
    EXPECT_FALSE(ui.HasWindow(optionsWindow));
    EXPECT_EQ(state.settings.limitRate, "1.5M");
    EXPECT_EQ(state.settings.server, "elsewhere");
    EXPECT_EQ(state.limiter->rate(), 1572864u) << "downloads under way follow at once";
    EXPECT_EQ(ReadFileBytes(ProductFolder() + "Updater/settings.ini"),
              "\xEF\xBB\xBF\r\n[Program]\r\nlang = en\r\nserver = elsewhere\r\nlimit_rate = 1.5M\r\n");

    // The next start reads it back, and the window shows it.
    ResetState();
    State().languageList = {{9, "en", "English"}};
    LoadSettings("Updater");
    EXPECT_EQ(State().settings.limitRate, "1.5M");
    EXPECT_EQ(State().limiter->rate(), 1572864u);
    ASSERT_TRUE(ui.Click(optionsButton));
    EventLoopPass();
    EXPECT_EQ(ui.GetText(limitField), "1.5M");
    // Emptied: no limit, and written as none.
    ui.TypeText(limitField, "");
    ASSERT_TRUE(ui.Click(saveButton));
    EventLoopPass();
    EXPECT_EQ(State().limiter->rate(), 0u);
    EXPECT_EQ(State().settings.limitRate, "");
}

TEST_F(ShellTest, OptionsSaveWithLanguageChangeEndsTheLoopForARestart) {
    HandOver({});
    ui.Click(optionsButton);
    EventLoopPass();
    ui.SelectItem(languageCombo, 0);
    ui.Click(saveButton);
    EventLoopPass();
    AppState& state = State();
    EXPECT_EQ(state.settings.lang, "de");
    EXPECT_EQ(state.restartRequested.load(), 1);
    EXPECT_EQ(LookupText("BUTTON_OPTIONS_CANCEL"), "Abbrechen");
    // Texts already shown stay as they were.
    EXPECT_EQ(ui.Gadget(optionsButton).text, "Settings");
}

TEST_F(ShellTest, OptionsCancelCloseBoxAndEscapeDiscardEdits) {
    HandOver({});
    const int ways[] = {0, 1, 2};
    for (int way : ways) {
        ASSERT_TRUE(ui.Click(optionsButton));
        EventLoopPass();
        ui.TypeText(serverField, "elsewhere");
        ui.SelectItem(languageCombo, 2);
        if (way == 0)
            ui.Click(cancelButton);
        else if (way == 1)
            ui.QueueCloseEvent(optionsWindow);
        else
            ui.PressEscape(optionsWindow);
        EventLoopPass();
        EXPECT_FALSE(ui.HasWindow(optionsWindow)) << way;
        EXPECT_TRUE(ui.Window(mainWindow).enabled) << way;
        EXPECT_EQ(State().settings.server, "127.0.0.1:9") << way;
        EXPECT_EQ(State().settings.lang, "en") << way;
    }
    EXPECT_FALSE(test::FileExists(ProductFolder() + "Updater/settings.ini"));
}

TEST_F(ShellTest, UnknownLanguageAndNothingSelectedKeepsTheCode) {
    HandOver({});
    State().settings.lang = "xx";
    ui.Click(optionsButton);
    EventLoopPass();
    EXPECT_EQ(ui.GetState(languageCombo), -1);
    ui.Click(saveButton);
    EventLoopPass();
    EXPECT_EQ(State().settings.lang, "xx");
    EXPECT_EQ(State().restartRequested.load(), 0);
}

TEST_F(ShellTest, OptionsWindowThatCannotOpenLeavesTheMainWindowEnabled) {
    HandOver({});
    ui.FailNextOpen(optionsWindow);
    ui.Click(optionsButton);
    EventLoopPass();
    EXPECT_FALSE(ui.HasWindow(optionsWindow));
    EXPECT_TRUE(ui.Window(mainWindow).enabled);
}

TEST_F(ShellTest, CloseBoxOfTheMainWindowEndsTheLoopAfterThatPass) {
    HandOver({});
    ui.QueueCloseEvent(mainWindow);
    ui.Click(optionsButton);
    RunEventLoop();
    EXPECT_EQ(State().quitRequested.load(), 1);
    EXPECT_EQ(ui.PendingEvents(), 1u);  // the click after the close was never handled
}

TEST_F(ShellTest, ShutdownStartsNoScriptThisRunDidNotWriteAndSavesTheSettings) {
    OpenMainWindow(true);
    // A script from an earlier run, or one a server had installed, leaves a mark if started.
    WriteFileBytes(game / "Update.bat", "echo started>started.txt\n");
    State().quitRequested.store(1);
    Shutdown();
    EXPECT_EQ(ReadFileBytes(ProductFolder() + "Updater/settings.ini"),
              "\xEF\xBB\xBF\r\n[Program]\r\nlang = en\r\nserver = 127.0.0.1:9\r\n");
    // Even one recorded as this run's is not started once it was changed.
    State().swapScriptFolder = game.path();
    Shutdown();
    EXPECT_FALSE(ui::HeadlessToolkit::WaitUntil([&] { return test::FileExists(game / "started.txt"); }, 1500));
}

TEST_F(ShellTest, AFolderNamedUpdateBatIsNotStarted) {
    OpenMainWindow(true);
    MakeDirectory(game / "Update.bat");
    State().quitRequested.store(1);
    Shutdown();  // must neither crash nor launch anything
    EXPECT_EQ(QueryFileSize(game / "Update.bat"), -2);
}

std::string FileReply(const std::string& body) {
    return test::HttpResponse("HTTP/1.1 200 OK", {"Content-Length: " + std::to_string(body.size())}, body);
}

TEST_F(ShellTest, UpdaterModeFromStartToEnd) {
    test::ScriptedServer server;
    ASSERT_TRUE(server.listening());
    WriteSettings(server.Host());
    WriteFileBytes(game / "data/game.dat", "Demo Game\r\ndemo\r\n");
    WriteFileBytes(game / "same.txt", "same");
    WriteFileBytes(game / "changed.txt", "old");
    WriteFileBytes(game / "Update.exe", "old updater");
    server.EnqueueReply(test::ListReply("same.txt:" + Md5Of("same") + "|changed.txt:" + Md5Of("new") + "|dir/new.txt:" +
                                        Md5Of("fresh") + "|Update.exe:" + Md5Of("new updater") + "|"));
    server.EnqueueReply(FileReply("new"));
    server.EnqueueReply(FileReply("fresh"));
    server.EnqueueReply(FileReply("new updater"));

    ASSERT_TRUE(StartUp());
    ASSERT_EQ(State().updaterMode.load(), 1);
    BuildUpdaterWindow();
    EXPECT_FALSE(Enabled(actionButton));
    EXPECT_FALSE(Enabled(filesButton));
    EXPECT_TRUE(Enabled(optionsButton));
    ASSERT_TRUE(PassUntil([&] { return Status().size() >= 5; }));
    EXPECT_EQ(Status(), (std::vector<std::string>{
                            "Welcome to the Zefo Updater.", "Loading file list for \"Demo Game\"...",
                            "File list has been loaded.", "4 file(s) found.", "3 updated file(s) available."}));
    EXPECT_EQ(server.Request(0),
              "GET /demo/ HTTP/1.0\r\nHost: " + server.Host() + "\r\nUser-Agent: Zefo Game Updater\r\n\r\n");
    EXPECT_TRUE(Enabled(actionButton));
    EXPECT_TRUE(Enabled(filesButton));

    ASSERT_TRUE(ui.Click(actionButton));
    ASSERT_TRUE(PassUntil([&] {
        return LastStatus() == "The game has been updated successfully ." && State().updateRunning.load() == 0;
    }));
    auto lines = Status();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 5, lines.end()),
              (std::vector<std::string>{"Updating game...", "Loading \"changed.txt\"...", "Loading \"dir/new.txt\"...",
                                        "Loading \"Update.exe\"...", "The game has been updated successfully ."}));
    EXPECT_EQ(ReadFileBytes(game / "changed.txt"), "new");
    EXPECT_EQ(ReadFileBytes(game / "dir/new.txt"), "fresh");
    EXPECT_EQ(ui.GetState(progressBar), 100);
    EXPECT_FALSE(Enabled(actionButton));

    // The files window now lists every file as unchanged.
    ui.Click(filesButton);
    EventLoopPass();
    EXPECT_EQ(ui.Items(oldFilesList),
              (std::vector<std::string>{"same.txt", "changed.txt", "dir/new.txt", "Update.exe"}));
    EXPECT_TRUE(ui.Items(newFilesList).empty());
    ui.QueueCloseEvent(filesWindow);
    EventLoopPass();
    EXPECT_FALSE(Enabled(actionButton));

    // The swap script this run wrote is started at the end and puts the new updater in place.
    test::UseSwapCommands(tools.path());
    ui.QueueCloseEvent(mainWindow);
    RunEventLoop();
    Shutdown();
    EXPECT_EQ(ReadFileBytes(ProductFolder() + "Updater/settings.ini"),
              "\xEF\xBB\xBF\r\n[Program]\r\nlang = en\r\nserver = " + server.Host() + "\r\nconnections = 1\r\n");
    EXPECT_TRUE(ui::HeadlessToolkit::WaitUntil(
        [&] { return !test::FileExists(game / "Update.bat") && ReadFileBytes(game / "Update.exe") == "new updater"; },
        20000));
    EXPECT_FALSE(test::FileExists(game / "Update_copy.exe"));
}

TEST_F(ShellTest, AnInstalledGameNeverGetsAScriptStartedAtTheEnd) {
    test::ScriptedServer server;
    ASSERT_TRUE(server.listening());
    WriteSettings(server.Host());
    test::TempDir target;
    server.EnqueueReply(test::ListReply("Game:game|"));
    server.EnqueueReply(
        test::ListReply("readme.txt:" + Md5Of("read me") + "|Update.bat:" + Md5Of("echo pwned>pwned.txt\r\n") + "|"));
    server.EnqueueReply(FileReply("read me"));
    server.EnqueueReply(FileReply("echo pwned>pwned.txt\r\n"));
    ASSERT_TRUE(StartUp());
    BuildInstallerWindow();
    ASSERT_TRUE(PassUntil([&] { return Enabled(gameCombo); }));
    ui.ScriptFolderAnswer(target.path());
    ui.Click(actionButton);
    ASSERT_TRUE(PassUntil([&] { return LastStatus().rfind("The game could not be installed.", 0) == 0; }));
    EXPECT_EQ(Status().end()[-2], "Could not load \"Update.bat\".");
    EXPECT_FALSE(test::FileExists(target / "Update.bat"));
    // Even one put there by someone else is not started when the window closes.
    WriteFileBytes(target / "Update.bat", "echo pwned>pwned.txt\r\n");
    ui.QueueCloseEvent(mainWindow);
    RunEventLoop();
    Shutdown();
    EXPECT_FALSE(ui::HeadlessToolkit::WaitUntil([&] { return test::FileExists(target / "pwned.txt"); }, 1500));
}

TEST_F(ShellTest, InstallerModeFromStartToEnd) {
    test::ScriptedServer server;
    ASSERT_TRUE(server.listening());
    WriteSettings(server.Host());
    test::TempDir target;
    server.EnqueueReply(test::ListReply("Alpha:alpha|Beta Two:beta2|"));
    server.EnqueueReply(
        test::ListReply("readme.txt:" + Md5Of("read me") + "|data/game.dat:" + Md5Of("Beta Two\r\nbeta2\r\n") + "|"));
    server.EnqueueReply(FileReply("read me"));
    server.EnqueueReply(FileReply("Beta Two\r\nbeta2\r\n"));

    ASSERT_TRUE(StartUp());
    ASSERT_EQ(State().updaterMode.load(), 0);
    ui.SetWindowTitle(mainWindow, "Zefo Installer");
    BuildInstallerWindow();
    EXPECT_EQ(ui.Items(gameCombo), (std::vector<std::string>{"Loading games..."}));
    EXPECT_EQ(ui.GetText(gameCombo), "Loading games...");
    EXPECT_FALSE(Enabled(gameCombo));
    EXPECT_FALSE(Enabled(actionButton));
    ASSERT_TRUE(PassUntil([&] { return Enabled(gameCombo); }));
    EXPECT_EQ(ui.Items(gameCombo), (std::vector<std::string>{"Alpha", "Beta Two"}));
    EXPECT_EQ(ui.GetState(gameCombo), 0);
    EXPECT_TRUE(Enabled(actionButton));
    EXPECT_EQ(server.Request(0),
              "GET / HTTP/1.0\r\nHost: " + server.Host() + "\r\nUser-Agent: Zefo Game Updater\r\n\r\n");

    // A cancelled folder requester starts nothing.
    ui.Click(actionButton);
    EventLoopPass();
    EXPECT_EQ(State().gameFolder, "");
    EXPECT_EQ(Status().size(), 2u);

    ui.SelectItem(gameCombo, 1);
    ui.ScriptFolderAnswer(target.path());
    ui.Click(actionButton);
    ASSERT_TRUE(PassUntil(
        [&] { return LastStatus() == "The game has been installed successfully." && Enabled(actionButton); }));
    auto requests = ui.FolderRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].title, "Install to...");
    EXPECT_EQ(requests[1].initialFolder, game.path());
    EXPECT_EQ(Status(),
              (std::vector<std::string>{"Welcome to the Zefo Installer.", "Game list has been loaded.",
                                        "Installing \"Beta Two\"...", "Loading file list for \"Beta Two\"...",
                                        "File list has been loaded.", "Loading \"readme.txt\"...",
                                        "Loading \"data/game.dat\"...", "The game has been installed successfully."}));
    EXPECT_EQ(State().gameFolder, "beta2");
    EXPECT_EQ(ReadFileBytes(target / "readme.txt"), "read me");
    EXPECT_EQ(ReadFileBytes(target / "data/game.dat"), "Beta Two\r\nbeta2\r\n");
    EXPECT_EQ(CurrentDirectory(), target.path());  // the next requester opens there
    EXPECT_EQ(server.Request(1).substr(0, 26), "GET /beta2/ HTTP/1.0\r\nHost");
}

}  // namespace
}  // namespace zefo
