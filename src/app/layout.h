// Where the program's windows and gadgets sit: client areas and places in layout
// pixels, which the toolkits scale with the desktop's font. The window builders
// place their gadgets from here, and so do the tests, benchmarks and end-to-end
// scripts that show or click the program's windows. Header only: it needs nothing
// but the toolkit header.
#pragma once

#include <string>

#include "ui/toolkit.h"

namespace zefo::layout {

struct Place {
    int x, y, width, height;
};

inline constexpr unsigned kMainWindowFlags =
    ui::kWindowCentered | ui::kWindowTitleBar | ui::kWindowSystemMenu | ui::kWindowMinimize;
inline constexpr unsigned kSecondaryWindowFlags = ui::kWindowCentered | ui::kWindowTitleBar | ui::kWindowSystemMenu;

// The main window, in both modes.
inline constexpr Place kMainWindow{0, 0, 400, 325};
inline constexpr Place kProgressBar{5, 275, 390, 20};

// Updater mode: the status list above the three buttons.
inline constexpr Place kUpdaterStatusList{5, 5, 390, 265};
inline constexpr Place kUpdateButton{4, 300, 128, 20};
inline constexpr Place kFilesButton{136, 300, 128, 20};
inline constexpr Place kUpdaterOptionsButton{268, 300, 128, 20};

// Installer mode: the game list above the status list, two buttons.
inline constexpr Place kGameCombo{5, 5, 390, 20};
inline constexpr Place kInstallerStatusList{5, 30, 390, 240};
inline constexpr Place kInstallButton{4, 300, 194, 20};
inline constexpr Place kInstallerOptionsButton{202, 300, 194, 20};

// The options window: language, server and speed limit above the two buttons.
inline constexpr Place kOptionsWindow{0, 0, 300, 105};
inline constexpr Place kLanguageLabel{5, 7, 80, 20};
inline constexpr Place kServerLabel{5, 32, 80, 20};
inline constexpr Place kLimitLabel{5, 57, 80, 20};
inline constexpr Place kLanguageCombo{90, 5, 205, 20};
inline constexpr Place kServerField{90, 30, 205, 20};
inline constexpr Place kLimitField{90, 55, 205, 20};
inline constexpr Place kSaveButton{4, 80, 145, 20};
inline constexpr Place kCancelButton{152, 80, 145, 20};

// The files window: the files to update above the unchanged ones.
inline constexpr Place kFilesWindow{0, 0, 300, 400};
inline constexpr Place kNewFilesLabel{5, 5, 290, 20};
inline constexpr Place kNewFilesList{5, 25, 290, 170};
inline constexpr Place kOldFilesLabel{5, 205, 290, 20};
inline constexpr Place kOldFilesList{5, 225, 290, 170};
inline constexpr int kFilesColumnWidth = 285;

// The toolkit's calls with a place instead of its four numbers.
inline int OpenWindow(ui::Toolkit& ui, int window, Place p, const std::string& title, unsigned flags) {
    return ui.OpenWindow(window, p.x, p.y, p.width, p.height, title, flags);
}
inline int Button(ui::Toolkit& ui, int gadget, Place p, const std::string& text) {
    return ui.ButtonGadget(gadget, p.x, p.y, p.width, p.height, text);
}
inline int Label(ui::Toolkit& ui, int gadget, Place p, const std::string& text) {
    return ui.LabelGadget(gadget, p.x, p.y, p.width, p.height, text);
}
inline int TextList(ui::Toolkit& ui, int gadget, Place p) {
    return ui.TextListGadget(gadget, p.x, p.y, p.width, p.height);
}
inline int ProgressBar(ui::Toolkit& ui, int gadget, Place p, int minimum, int maximum) {
    return ui.ProgressBarGadget(gadget, p.x, p.y, p.width, p.height, minimum, maximum);
}
inline int DropDown(ui::Toolkit& ui, int gadget, Place p) {
    return ui.DropDownGadget(gadget, p.x, p.y, p.width, p.height);
}
inline int TextField(ui::Toolkit& ui, int gadget, Place p, const std::string& text) {
    return ui.TextFieldGadget(gadget, p.x, p.y, p.width, p.height, text);
}
inline int ReportList(ui::Toolkit& ui, int gadget, Place p, const std::string& title, int columnWidth, unsigned flags) {
    return ui.ReportListGadget(gadget, p.x, p.y, p.width, p.height, title, columnWidth, flags);
}

}  // namespace zefo::layout
