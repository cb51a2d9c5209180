// Times one HttpDownload: download_bench <url> <local path> [expected md5 [expected sha256]].
// Prints the seconds taken and the size written; exit code 0 on success.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/safe_folder.h"
#include "net/tcp_client.h"
#include "sync/http_download.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <url> <local path> [expected md5 [expected sha256]]\n", argv[0]);
        return 2;
    }
    if (!zefo::NetworkStartup()) {
        std::fprintf(stderr, "the socket service did not start\n");
        return 1;
    }
    const std::filesystem::path target(argv[2]);
    auto start = std::chrono::steady_clock::now();
    zefo::SafeFolder folder;
    bool ok = folder.Open(target.parent_path().empty() ? "." : target.parent_path().string(), "", false) ==
                  zefo::SafeFolder::OpenResult::Opened &&
              zefo::HttpDownload(argv[1], folder, target.filename().string(),
                                 zefo::DownloadChecks{argc > 3 ? argv[3] : "", argc > 4 ? argv[4] : "", ""});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::error_code error;
    auto size = std::filesystem::file_size(argv[2], error);
    std::printf("HttpDownload %s in %.3f s, %llu bytes\n", ok ? "succeeded" : "FAILED", seconds,
                error ? 0ULL : static_cast<unsigned long long>(size));
    zefo::NetworkShutdown();
    return ok ? 0 : 1;
}
