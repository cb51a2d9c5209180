// Times the file-list load against a server that serves a large file list:
// filelist_bench <server host[:port]> <game folder> <expected entries>.
// Prints the time of the load and the number of entries; exit code 0 when the
// load succeeded with the expected number of entries.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/lists.h"
#include "net/tcp_client.h"
#include "support/translations.h"

namespace {

class PrintingObserver final : public zefo::Observer {
  public:
    void Status(const std::string&) override {}
    void Message(const std::string&, const std::string& text) override { std::printf("message: %s\n", text.c_str()); }
    void Progress(int) override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <server> <game folder> <expected entries>\n", argv[0]);
        return 2;
    }
    zefo::LoadTranslations("en");
    if (!zefo::NetworkStartup())
        return 1;
    PrintingObserver observer;
    zefo::FileList files;
    auto start = std::chrono::steady_clock::now();
    bool loaded = zefo::LoadFileList(argv[1], argv[2], observer, [&files](zefo::FileList&& list, bool) {
                      files = std::move(list);
                  }) == zefo::ListResult::Loaded;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("file list of %zu entries %s in %.3f s (limit 10 s)\n", files.size(), loaded ? "loaded" : "NOT loaded",
                seconds);
    zefo::NetworkShutdown();
    return loaded && files.size() == std::strtoul(argv[3], nullptr, 10) ? 0 : 1;
}
