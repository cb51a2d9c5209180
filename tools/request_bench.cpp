// Times repeated list requests, each on a fresh connection (and for an https server a
// fresh handshake): request_bench <server> <game folder> <count>. Prints the mean
// milliseconds per request; exit code 0 when every load succeeded.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/lists.h"
#include "net/tcp_client.h"
#include "support/translations.h"

namespace {

class ReasonObserver final : public zefo::Observer {
  public:
    void Status(const std::string& line) override { std::printf("status: %s\n", line.c_str()); }
    void Message(const std::string&, const std::string& text) override { std::printf("message: %s\n", text.c_str()); }
    void Progress(int) override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <server> <game folder> <count>\n", argv[0]);
        return 2;
    }
    zefo::LoadTranslations("en");
    if (!zefo::NetworkStartup())
        return 1;
    const long count = std::strtol(argv[3], nullptr, 10);
    ReasonObserver observer;
    int failed = 0;
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        if (zefo::LoadFileList(argv[1], argv[2], observer, [](zefo::FileList&&, bool) {}) != zefo::ListResult::Loaded)
            ++failed;
    }
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld list requests to %s: %.2f ms each, %d failed\n", count, argv[1], count > 0 ? ms / count : 0.0,
                failed);
    zefo::NetworkShutdown();
    return failed == 0 ? 0 : 1;
}
