// Times FileListLoader against a server that serves a large file list:
// filelist_bench <server host[:port]> <game folder> <expected entries>.
// Prints the time of the load and the number of entries; exit code 0 when the
// load succeeded with the expected number of entries.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app_state.h"
#include "app/ids.h"
#include "net/lists.h"
#include "net/tcp_client.h"
#include "support/translations.h"
#include "ui/toolkit_headless.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <server> <game folder> <expected entries>\n", argv[0]);
        return 2;
    }
    zefo::ui::HeadlessToolkit ui;
    zefo::ui::SetToolkit(&ui);
    ui.OpenWindow(zefo::mainWindow, 0, 0, 400, 325, "Zefo Updater", 0);
    ui.TextListGadget(zefo::statusList, 5, 5, 390, 265);
    zefo::LoadTranslations("en");
    if (!zefo::NetworkStartup())
        return 1;
    {
        std::lock_guard guard(zefo::State().textLock);
        zefo::State().settings.server = argv[1];
        zefo::State().gameFolder = argv[2];
    }
    auto start = std::chrono::steady_clock::now();
    zefo::FileListLoader(1);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t entries = zefo::State().fileList.size();
    bool loaded = zefo::State().filesLoaded.load() == 1;
    std::printf("file list of %zu entries %s in %.3f s (limit 10 s)\n", entries, loaded ? "loaded" : "NOT loaded",
                seconds);
    for (const auto& message : ui.Messages())
        std::printf("message: %s\n", message.text.c_str());
    zefo::NetworkShutdown();
    zefo::ui::SetToolkit(nullptr);
    return loaded && entries == std::strtoul(argv[3], nullptr, 10) ? 0 : 1;
}
