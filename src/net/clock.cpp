#include "net/clock.h"

#include <atomic>
#include <utility>

#include "net/system_clock.h"

namespace zefo {

namespace {
std::atomic<TestClock*> testClock{nullptr};
}

void SetTestClock(TestClock* clock) {
    testClock.store(clock, std::memory_order_release);
}

TestClock* CurrentTestClock() {
    return testClock.load(std::memory_order_acquire);
}

uint32_t MillisecondTicks() {
    if (TestClock* clock = CurrentTestClock())
        return clock->Ticks();
    return detail::SystemTicks();
}

void SleepMilliseconds(uint32_t milliseconds) {
    TestClock* clock = CurrentTestClock();
    if (!clock) {
        detail::SystemSleep(milliseconds);
        return;
    }
    detail::SystemSleep(clock->WaitBegins(milliseconds));
    clock->WaitEnded(milliseconds, false);
}

int64_t WallClockMilliseconds() {
    if (TestClock* clock = CurrentTestClock())
        return clock->WallMilliseconds();
    return detail::SystemWallMilliseconds();
}

ManualClock::ManualClock(uint32_t ticks, int64_t wallMilliseconds) : ticks_(ticks), wall_(wallMilliseconds) {}

uint32_t ManualClock::Ticks() {
    std::function<void(int)> hook;
    int call;
    {
        std::lock_guard guard(lock_);
        hook = onTicks_;
        call = ticksCalls_++;
    }
    // The hook may advance the clock, so it runs without the lock.
    if (hook)
        hook(call);
    std::lock_guard guard(lock_);
    return ticks_;
}

int64_t ManualClock::WallMilliseconds() {
    std::lock_guard guard(lock_);
    return wall_;
}

uint32_t ManualClock::WaitBegins(uint32_t milliseconds) {
    std::function<void(uint32_t)> hook;
    {
        std::lock_guard guard(lock_);
        hook = onWait_;
    }
    // The hook may change the limit for this very wait.
    if (hook)
        hook(milliseconds);
    std::lock_guard guard(lock_);
    return milliseconds < realWaitLimit_ ? milliseconds : realWaitLimit_;
}

void ManualClock::WaitEnded(uint32_t milliseconds, bool dataArrived) {
    if (!dataArrived)
        Advance(milliseconds);
}

void ManualClock::Advance(uint32_t milliseconds) {
    std::lock_guard guard(lock_);
    ticks_ += milliseconds;
    wall_ += milliseconds;
    waited_ += milliseconds;
}

void ManualClock::SetTicks(uint32_t ticks) {
    std::lock_guard guard(lock_);
    ticks_ = ticks;
}

void ManualClock::SetWallMilliseconds(int64_t wallMilliseconds) {
    std::lock_guard guard(lock_);
    wall_ = wallMilliseconds;
}

void ManualClock::SetRealWaitLimit(uint32_t milliseconds) {
    std::lock_guard guard(lock_);
    realWaitLimit_ = milliseconds;
}

void ManualClock::OnTicks(std::function<void(int call)> hook) {
    std::lock_guard guard(lock_);
    onTicks_ = std::move(hook);
}

void ManualClock::OnWait(std::function<void(uint32_t milliseconds)> hook) {
    std::lock_guard guard(lock_);
    onWait_ = std::move(hook);
}

uint64_t ManualClock::WaitedMilliseconds() {
    std::lock_guard guard(lock_);
    return waited_;
}

}  // namespace zefo
