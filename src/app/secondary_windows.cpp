// The options window (both modes) and the files window (Updater mode). Each is
// modal in effect: the main window is disabled while one is open.
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "app/app_state.h"
#include "app/ids.h"
#include "app/layout.h"
#include "app/program_settings.h"
#include "app/shell.h"
#include "net/network_options.h"
#include "support/settings.h"
#include "support/translations.h"
#include "ui/toolkit.h"

namespace zefo {

namespace {

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
    if (!layout::OpenWindow(ui, optionsWindow, layout::kOptionsWindow, Translate("TITLE_OPTIONS"),
                            layout::kSecondaryWindowFlags))
        return;
    ui.DisableWindow(mainWindow, 1);
    layout::Label(ui, languageLabel, layout::kLanguageLabel, Translate("T_OPTIONS_LANG"));
    layout::Label(ui, serverLabel, layout::kServerLabel, Translate("T_OPTIONS_SERVER"));
    layout::Label(ui, limitLabel, layout::kLimitLabel, Translate("T_OPTIONS_LIMIT"));
    layout::Button(ui, saveButton, layout::kSaveButton, Translate("BUTTON_OPTIONS_SAVE"));
    layout::Button(ui, cancelButton, layout::kCancelButton, Translate("BUTTON_OPTIONS_CANCEL"));
    layout::DropDown(ui, languageCombo, layout::kLanguageCombo);
    layout::TextField(ui, serverField, layout::kServerField, state.settings.server);
    layout::TextField(ui, limitField, layout::kLimitField, state.settings.limitRate);
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
    const std::string limit = ui.GetText(limitField);
    uint64_t rate = 0;
    if (!ParseLimitSetting(limit, rate)) {
        // Nothing is taken: the window stays open with the user's edits.
        ui.ShowMessage(Translate("ERR"), Translate("ERR_LIMIT"), ui::kMessageWarning);
        return;
    }
    state.limiter->SetRate(rate);
    {
        std::lock_guard guard(state.textLock);
        state.settings.server = server;
        state.settings.limitRate = limit;
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
    if (!layout::OpenWindow(ui, filesWindow, layout::kFilesWindow, Translate("TITLE_FILES"),
                            layout::kSecondaryWindowFlags))
        return;
    ui.DisableWindow(mainWindow, 1);
    layout::Label(ui, newFilesLabel, layout::kNewFilesLabel, Translate("T_FILES_NEW"));
    layout::Label(ui, oldFilesLabel, layout::kOldFilesLabel, Translate("T_FILES_OLD"));
    layout::ReportList(ui, newFilesList, layout::kNewFilesList, "", layout::kFilesColumnWidth,
                       ui::kReportNoHeader | ui::kReportCheckBoxes);
    layout::ReportList(ui, oldFilesList, layout::kOldFilesList, "", layout::kFilesColumnWidth, ui::kReportNoHeader);
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
