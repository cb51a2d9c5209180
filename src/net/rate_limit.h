// A download speed limit shared by every connection of a run: a token bucket
// with a small burst that receive loops pay with the bytes they got.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>

namespace zefo {

// Reads a rate as curl's --limit-rate takes it: bytes per second, a whole or
// decimal number with an optional k, m, g, t or p in either case (1024-based:
// "1k" is 1024, "1.5M" 1572864). "0" is no limit. False for anything else.
bool ParseRate(std::string_view text, uint64_t& bytesPerSecond);

class RateLimiter {
  public:
    // The bucket holds at most this much time's worth of bytes.
    static constexpr uint32_t kBurstMs = 50;
    // A receive asks for at most this much time's worth (ReadSize).
    static constexpr uint32_t kReadMs = 20;
    static constexpr size_t kMinReadSize = 256;
    // The longest sleep between two looks at a stop request.
    static constexpr uint32_t kSleepSliceMs = 50;

    // `bytesPerSecond` 0 is no limit.
    explicit RateLimiter(uint64_t bytesPerSecond = 0);
    RateLimiter(const RateLimiter&) = delete;
    RateLimiter& operator=(const RateLimiter&) = delete;

    // Changes the limit for every connection at once; waits in Pay see it.
    void SetRate(uint64_t bytesPerSecond);
    uint64_t rate() const;

    // How much one receive should ask for, at most `capacity`: small enough that
    // bytes read but not yet paid for stay a small part of the limit.
    size_t ReadSize(size_t capacity) const;

    // Takes `bytes` just received from the shared budget and sleeps while the
    // budget is spent, in slices of at most kSleepSliceMs between which it asks
    // `stopRequested`. False when that ended the wait. Sleeps go through the clocks
    // of clock.h, so a test clock sees them.
    bool Pay(uint64_t bytes, const std::function<bool()>& stopRequested = {});

  private:
    // Adds the bytes earned since the last look (the lock is held).
    void Refill();

    mutable std::mutex lock_;
    uint64_t rate_;
    double balance_;  // bytes that may still be received now; below 0 a debt
    uint32_t lastTicks_;
};

}  // namespace zefo
