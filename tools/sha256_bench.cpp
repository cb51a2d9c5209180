// Times the program's SHA-256 on one file, alone and beside MD5 in one pass
// (as a download feeds both), best of three runs each. Prints seconds and
// MB/s; bench_sha256.sh sets them against sha256sum.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "base/md5.h"
#include "net/crypto.h"

namespace {

using Clock = std::chrono::steady_clock;

// One pass over the file; SHA-256 always, MD5 too when `withMd5`.
double Pass(const char* path, bool withMd5, std::string& digest, long long& size) {
    Clock::time_point start = Clock::now();
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return -1;
    std::vector<char> block(1 << 16);
    zefo::Sha256 sha;
    zefo::Md5 md5;
    size = 0;
    for (;;) {
        size_t n = std::fread(block.data(), 1, block.size(), file);
        if (n == 0)
            break;
        sha.Update(block.data(), n);
        if (withMd5)
            md5.Update(block.data(), n);
        size += static_cast<long long>(n);
    }
    std::fclose(file);
    digest = sha.FinalHex();
    if (withMd5)
        md5.FinalHex();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <file>\n", argv[0]);
        return 2;
    }
    double best[2] = {1e30, 1e30};
    std::string digest;
    long long size = 0;
    for (int run = 0; run < 3; ++run) {
        for (int withMd5 = 0; withMd5 < 2; ++withMd5) {
            double seconds = Pass(argv[1], withMd5 != 0, digest, size);
            if (seconds < 0) {
                std::fprintf(stderr, "%s: cannot be read\n", argv[1]);
                return 2;
            }
            if (seconds < best[withMd5])
                best[withMd5] = seconds;
        }
    }
    const double megabytes = static_cast<double>(size) / 1e6;
    std::printf("digest %s\n", digest.c_str());
    std::printf("sha256 %.3f s %.0f MB/s\n", best[0], megabytes / best[0]);
    std::printf("sha256+md5 %.3f s %.0f MB/s\n", best[1], megabytes / best[1]);
    return 0;
}
