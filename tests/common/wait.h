// Waiting in a test for something another thread brings about, with a bound.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace zefo::test {

// Polls `done` every few milliseconds; false when `timeoutMs` pass first.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace zefo::test
