// Times FileFingerprint against the system's md5sum on one file: best of three
// runs each, interleaved so both see the same (warm) page cache.
#include <chrono>
#include <cstdio>
#include <string>

#include "base/file_system.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string RunMd5sum(const std::string& path) {
    FILE* pipe = popen(("md5sum " + Quote(path)).c_str(), "r");
    if (!pipe)
        return {};
    char line[256] = {};
    std::string digest;
    if (std::fgets(line, sizeof line, pipe))
        digest = std::string(line).substr(0, 32);
    if (pclose(pipe) != 0)
        return {};
    return digest;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <file>\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const int64_t size = zefo::QueryFileSize(path);
    if (size < 0) {
        std::fprintf(stderr, "%s: not a file\n", path.c_str());
        return 2;
    }
    double bestOwn = 1e30, bestSystem = 1e30;
    std::string own, system;
    for (int run = 0; run < 3; ++run) {
        Clock::time_point start = Clock::now();
        own = zefo::FileFingerprint(path);
        const double ownTime = Seconds(start);
        start = Clock::now();
        system = RunMd5sum(path);
        const double systemTime = Seconds(start);
        if (ownTime < bestOwn)
            bestOwn = ownTime;
        if (systemTime < bestSystem)
            bestSystem = systemTime;
        std::printf("run %d: FileFingerprint %.3f s, md5sum %.3f s\n", run + 1, ownTime, systemTime);
    }
    if (own.empty() || own != system) {
        std::fprintf(stderr, "digests differ: FileFingerprint %s, md5sum %s\n", own.c_str(), system.c_str());
        return 1;
    }
    const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
    std::printf("file: %lld bytes, md5 %s\n", static_cast<long long>(size), own.c_str());
    std::printf("FileFingerprint best of 3: %.3f s (%.0f MiB/s)\n", bestOwn, mib / bestOwn);
    std::printf("md5sum          best of 3: %.3f s (%.0f MiB/s)\n", bestSystem, mib / bestSystem);
    std::printf("ratio FileFingerprint / md5sum: %.3f (target <= 1.10)\n", bestOwn / bestSystem);
    return 0;
}
