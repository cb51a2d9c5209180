// The speed limit's accuracy: THREADS threads pull bytes through one RateLimiter
// for SECONDS, each receive as large as ReadSize allows (as a download loop asks),
// and the bytes taken within the time over the time are set against the limit.
//
//   rate_bench RATE [THREADS] [SECONDS]     RATE as --limit-rate takes it (e.g. 1M)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/rate_limit.h"

int main(int argc, char** argv) {
    uint64_t rate = 0;
    if (argc < 2 || !zefo::ParseRate(argv[1], rate) || rate == 0) {
        std::fprintf(stderr, "usage: rate_bench RATE [THREADS] [SECONDS]\n");
        return 2;
    }
    const int threads = argc > 2 ? std::atoi(argv[2]) : 1;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 10.0;
    if (threads < 1 || threads > 256 || seconds <= 0) {
        std::fprintf(stderr, "usage: rate_bench RATE [THREADS] [SECONDS]\n");
        return 2;
    }

    using Clock = std::chrono::steady_clock;
    zefo::RateLimiter limiter(rate);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::atomic<uint64_t> total{0};
    std::atomic<uint64_t> receives{0};
    auto over = [&] { return Clock::now() >= end; };
    std::vector<std::thread> pullers;
    for (int t = 0; t < threads; ++t) {
        pullers.emplace_back([&] {
            std::vector<char> buffer(256 * 1024);
            while (!over()) {
                const size_t size = limiter.ReadSize(buffer.size());
                // What a receive would have filled.
                buffer[size - 1] = static_cast<char>(size);
                total.fetch_add(size, std::memory_order_relaxed);
                receives.fetch_add(1, std::memory_order_relaxed);
                if (!limiter.Pay(size, over))
                    break;
            }
        });
    }
    for (std::thread& puller : pullers)
        puller.join();
    const double achieved = static_cast<double>(total.load()) / seconds;
    std::printf("limit %llu B/s, %d thread%s, %.0f s: %.0f B/s (%+.2f %%), %llu receives\n",
                static_cast<unsigned long long>(rate), threads, threads == 1 ? "" : "s", seconds, achieved,
                (achieved / static_cast<double>(rate) - 1.0) * 100.0, static_cast<unsigned long long>(receives.load()));
    return 0;
}
