// Window and gadget numbers of the program. Gadget numbers are unique across windows.
#pragma once

namespace zefo {

enum WindowId : int {
    mainWindow = 1,
    filesWindow = 2,
    optionsWindow = 3,
};

enum GadgetId : int {
    gameCombo = 1,
    actionButton = 2,
    filesButton = 3,
    optionsButton = 4,
    statusList = 5,
    progressBar = 6,
    newFilesLabel = 7,
    oldFilesLabel = 8,
    newFilesList = 9,
    oldFilesList = 10,
    saveButton = 11,
    cancelButton = 12,
    languageLabel = 13,
    serverLabel = 14,
    serverField = 15,
    languageCombo = 16,
    limitLabel = 17,
    limitField = 18,
};

}  // namespace zefo
