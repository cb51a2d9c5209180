#include <atomic>
#include <chrono>
#include <thread>

#include "sync/launch.h"
#include "sync/launch_internal.h"

namespace zefo {

namespace {

std::atomic<uint32_t> runningThreads{0};

}  // namespace

namespace launch_detail {

void CountThreadStart() {
    runningThreads.fetch_add(1, std::memory_order_relaxed);
}

// Release: whoever sees the count drop also sees what the procedure wrote.
void CountThreadEnd() {
    runningThreads.fetch_sub(1, std::memory_order_release);
}

}  // namespace launch_detail

bool WaitForThreads(uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (runningThreads.load(std::memory_order_acquire) != 0) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace zefo
