// Time services of the request loops: a millisecond tick counter, a sleep and
// the wall clock. Tests may put a clock of their own in place of the system's.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

namespace zefo {

// Milliseconds since system start; wraps after 2^32 ms, so callers take the
// difference now minus start in 32-bit arithmetic.
uint32_t MillisecondTicks();
// Sleeps `milliseconds` with 1 ms timer resolution.
void SleepMilliseconds(uint32_t milliseconds);
// Milliseconds of the local wall clock since 1970.
int64_t WallClockMilliseconds();

// A clock that replaces the system's in tests. Every wait of the network code
// (sleeps and waits for data) is announced to it, so it can let virtual time
// pass while the real wait stays short.
class TestClock {
  public:
    virtual ~TestClock() = default;
    virtual uint32_t Ticks() = 0;
    virtual int64_t WallMilliseconds() = 0;
    // A wait of `milliseconds` begins; returns how long to wait for real.
    virtual uint32_t WaitBegins(uint32_t milliseconds) = 0;
    // The wait announced last has ended, early when `dataArrived`.
    virtual void WaitEnded(uint32_t milliseconds, bool dataArrived) = 0;
};

// Installs `clock` for the whole process (nullptr restores the system's).
void SetTestClock(TestClock* clock);
TestClock* CurrentTestClock();

// A test clock driven by hand. Time stands still except when the test advances
// it, and a wait that ends without data lets its full length pass. Real waits
// last at most `realWaitLimit` ms so that real bytes can still arrive.
class ManualClock final : public TestClock {
  public:
    explicit ManualClock(uint32_t ticks = 0, int64_t wallMilliseconds = 1'700'000'000'000);

    uint32_t Ticks() override;
    int64_t WallMilliseconds() override;
    uint32_t WaitBegins(uint32_t milliseconds) override;
    void WaitEnded(uint32_t milliseconds, bool dataArrived) override;

    // Moves both clocks forward.
    void Advance(uint32_t milliseconds);
    void SetTicks(uint32_t ticks);
    void SetWallMilliseconds(int64_t wallMilliseconds);
    void SetRealWaitLimit(uint32_t milliseconds);
    // Called on each Ticks() with the number of earlier calls, before the value
    // is read, so a test can move time at an exact point of a loop.
    void OnTicks(std::function<void(int call)> hook);
    // Called when a wait begins, before the real wait.
    void OnWait(std::function<void(uint32_t milliseconds)> hook);
    // Total virtual time that waits let pass.
    uint64_t WaitedMilliseconds();

  private:
    std::mutex lock_;
    uint32_t ticks_;
    int64_t wall_;
    uint32_t realWaitLimit_ = 20;
    int ticksCalls_ = 0;
    uint64_t waited_ = 0;
    std::function<void(int)> onTicks_;
    std::function<void(uint32_t)> onWait_;
};

}  // namespace zefo
