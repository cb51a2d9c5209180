// zefo_places: where a gadget of the program's windows sits, for end-to-end scripts
// that click the desktop program from outside (GTK draws its controls inside the
// window, so no X window or title names them). The program's own window builders
// run against the headless toolkit, so the answer follows any change of layout.
//
//   zefo_places WINDOW GADGET
//
// WINDOW is installer, updater (the main window in that mode), options or files;
// GADGET a gadget's name in the program's code (actionButton, saveButton, ...).
// Prints "LAYOUT_WIDTH X Y WIDTH HEIGHT": the client width of the gadget's window
// and the gadget's place, in layout pixels (the toolkit scales both alike).
// Exit code 0, or 1 when the window has no such gadget, 2 on a usage error.
#include <cstdio>
#include <cstring>

#include "app/ids.h"
#include "app/shell.h"
#include "ui/toolkit_headless.h"

namespace zefo {
namespace {

struct NamedGadget {
    const char* name;
    int number;
};

constexpr NamedGadget kGadgets[] = {
    {"gameCombo", gameCombo},         {"actionButton", actionButton},   {"filesButton", filesButton},
    {"optionsButton", optionsButton}, {"statusList", statusList},       {"progressBar", progressBar},
    {"newFilesLabel", newFilesLabel}, {"oldFilesLabel", oldFilesLabel}, {"newFilesList", newFilesList},
    {"oldFilesList", oldFilesList},   {"saveButton", saveButton},       {"cancelButton", cancelButton},
    {"languageLabel", languageLabel}, {"serverLabel", serverLabel},     {"serverField", serverField},
    {"languageCombo", languageCombo}, {"limitLabel", limitLabel},       {"limitField", limitField},
};

// Builds `window` as the program does; the window's number, or 0 for an unknown name.
int Build(const char* window) {
    if (std::strcmp(window, "installer") == 0) {
        OpenMainWindow();
        LayOutInstallerWindow();
        return mainWindow;
    }
    OpenMainWindow();
    LayOutUpdaterWindow();
    if (std::strcmp(window, "updater") == 0)
        return mainWindow;
    if (std::strcmp(window, "options") == 0) {
        OpenOptionsWindow();
        return optionsWindow;
    }
    if (std::strcmp(window, "files") == 0) {
        OpenFilesWindow();
        return filesWindow;
    }
    return 0;
}

}  // namespace
}  // namespace zefo

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zefo_places installer|updater|options|files GADGET\n");
        return 2;
    }
    zefo::ui::HeadlessToolkit toolkit;
    zefo::ui::SetToolkit(&toolkit);
    const int window = zefo::Build(argv[1]);
    if (window == 0) {
        std::fprintf(stderr, "zefo_places: no window %s\n", argv[1]);
        return 2;
    }
    for (const zefo::NamedGadget& named : zefo::kGadgets) {
        if (std::strcmp(named.name, argv[2]) != 0)
            continue;
        if (!toolkit.HasGadget(named.number) || toolkit.Gadget(named.number).window != window)
            break;
        const zefo::ui::HeadlessGadget gadget = toolkit.Gadget(named.number);
        std::printf("%d %d %d %d %d\n", toolkit.Window(window).width, gadget.x, gadget.y, gadget.width, gadget.height);
        return 0;
    }
    std::fprintf(stderr, "zefo_places: no gadget %s in the %s window\n", argv[2], argv[1]);
    return 1;
}
