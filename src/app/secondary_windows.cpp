// The options window (both modes) and the files window (Updater mode). Each is
// modal in effect: the main window is disabled while one is open.
#include <unordered_map>
#include <vector>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/program_settings.h"
#include "app/shell.h"
#include "support/settings.h"
#include "support/translations.h"
#include "ui/toolkit.h"

namespace zefo {

namespace {

constexpr unsigned kSecondaryFlags = ui::kWindowCentered | ui::kWindowTitleBar | ui::kWindowSystemMenu;

void ReturnToMainWindow(int secondary) {
    ui::Toolkit& ui = ui::UI();
    ui.DisableWindow(mainWindow, 0);
    ui.KeepOnTop(mainWindow, 1);
    ui.CloseWindow(secondary);
    ui.KeepOnTop(mainWindow, 0);
}

}  // namespace

void OpenOptionsWindow() {
    AppState& state = State();
    ui::Toolkit& ui = ui::UI();
    if (!ui.OpenWindow(optionsWindow, 0, 0, 300, 80, Translate("TITLE_OPTIONS"), kSecondaryFlags))
        return;
    ui.DisableWindow(mainWindow, 1);
    ui.LabelGadget(languageLabel, 5, 7, 60, 20, Translate("T_OPTIONS_LANG"));
    ui.LabelGadget(serverLabel, 5, 32, 60, 20, Translate("T_OPTIONS_SERVER"));
    ui.ButtonGadget(saveButton, 4, 55, 145, 20, Translate("BUTTON_OPTIONS_SAVE"));
    ui.ButtonGadget(cancelButton, 152, 55, 145, 20, Translate("BUTTON_OPTIONS_CANCEL"));
    ui.DropDownGadget(languageCombo, 70, 5, 225, 20);
    ui.TextFieldGadget(serverField, 70, 30, 225, 20, state.settings.server);
    ui.SetCancelGadget(optionsWindow, cancelButton);
    for (const LanguageEntry& language : state.languageList) {
        ui.AddItem(languageCombo, -1, language.name);
        if (language.code == state.settings.lang)
            ui.SetState(languageCombo, ui.CountItems(languageCombo) - 1);
    }
}

void SaveOptions() {
    AppState& state = State();
    ui::Toolkit& ui = ui::UI();
    std::string server = ui.GetText(serverField);
    std::string chosen = ui.GetText(languageCombo);
    {
        std::lock_guard guard(state.textLock);
        state.settings.server = server;
        for (const LanguageEntry& language : state.languageList) {
            if (language.name == chosen) {
                if (language.code != state.settings.lang)
                    state.restartRequested.store(1);
                state.settings.lang = language.code;
                break;
            }
        }
    }
    SaveSettings("Updater");
    LoadTranslations(state.settings.lang);
    ReturnToMainWindow(optionsWindow);
}

void CloseOptionsWindow() {
    ReturnToMainWindow(optionsWindow);
}

void OpenFilesWindow() {
    AppState& state = State();
    ui::Toolkit& ui = ui::UI();
    if (!ui.OpenWindow(filesWindow, 0, 0, 300, 400, Translate("TITLE_FILES"), kSecondaryFlags))
        return;
    ui.DisableWindow(mainWindow, 1);
    ui.LabelGadget(newFilesLabel, 5, 5, 290, 20, Translate("T_FILES_NEW"));
    ui.LabelGadget(oldFilesLabel, 5, 205, 290, 20, Translate("T_FILES_OLD"));
    ui.ReportListGadget(newFilesList, 5, 25, 290, 170, "", 285, ui::kReportNoHeader | ui::kReportCheckBoxes);
    ui.ReportListGadget(oldFilesList, 5, 225, 290, 170, "", 285, ui::kReportNoHeader);
    for (const FileEntry& entry : state.fileList) {
        if (entry.upToDate.load()) {
            ui.AddItem(oldFilesList, -1, entry.path);
        } else {
            ui.AddItem(newFilesList, -1, entry.path);
            if (entry.chosen.load())
                ui.SetItemState(newFilesList, ui.CountItems(newFilesList) - 1, ui::kItemChecked);
        }
    }
    ui.FitColumn(newFilesList);
    ui.FitColumn(oldFilesList);
}

void CloseFilesWindow() {
    AppState& state = State();
    ui::Toolkit& ui = ui::UI();

    // Rows are matched to entries by path through an index, so closing stays
    // linear on large games. Every entry of a path takes the row's state; with
    // two rows of one path the later row's state remains.
    std::unordered_map<std::string, std::vector<FileEntry*>> byPath;
    byPath.reserve(state.fileList.size());
    for (FileEntry& entry : state.fileList)
        byPath[entry.path].push_back(&entry);
    int rows = ui.CountItems(newFilesList);
    for (int row = 0; row < rows; ++row) {
        auto match = byPath.find(ui.GetItemText(newFilesList, row));
        if (match == byPath.end())
            continue;
        int chosen = (ui.GetItemState(newFilesList, row) & ui::kItemChecked) ? 1 : 0;
        for (FileEntry* entry : match->second)
            entry->chosen.store(chosen);
    }

    state.updateAvailable = 0;
    for (const FileEntry& entry : state.fileList) {
        if (entry.chosen.load() && !entry.upToDate.load()) {
            state.updateAvailable = 1;
            break;
        }
    }
    // While an update runs the button stays disabled: the worker decides at its end.
    bool enable = state.updateAvailable == 1 && !state.updateRunning.load();
    ui.DisableGadget(actionButton, enable ? 0 : 1);
    ReturnToMainWindow(filesWindow);
}

}  // namespace zefo
