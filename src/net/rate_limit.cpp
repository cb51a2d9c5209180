#include "net/rate_limit.h"

#include <algorithm>
#include <cmath>

#include "base/ascii.h"
#include "net/clock.h"

namespace zefo {

namespace {

double BurstBytes(uint64_t rate) {
    return std::max(1.0, static_cast<double>(rate) * RateLimiter::kBurstMs / 1000.0);
}

}  // namespace

bool ParseRate(std::string_view text, uint64_t& bytesPerSecond) {
    size_t at = 0;
    uint64_t whole = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (whole > (UINT64_MAX - 9) / 10)
            return false;
        whole = whole * 10 + static_cast<uint64_t>(text[at] - '0');
        ++at;
    }
    const size_t wholeDigits = at;
    double fraction = 0, scale = 1;
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            scale /= 10;
            fraction += scale * (text[at] - '0');
            ++at;
        }
        if (scale == 1)
            return false;  // "5." has no digit after the point
    }
    if (wholeDigits == 0)
        return false;
    int shift = 0;
    if (at < text.size()) {
        const size_t unit = std::string_view("kmgtp").find(LowerAscii(text[at]));
        if (unit == std::string_view::npos)
            return false;
        shift = 10 * static_cast<int>(unit + 1);
        ++at;
    }
    if (at != text.size())
        return false;
    const double value = (static_cast<double>(whole) + fraction) * std::ldexp(1.0, shift);
    if (value >= 18446744073709551615.0)
        return false;
    // A rate below one byte per second is still a limit, not none.
    bytesPerSecond = value > 0 && value < 1 ? 1 : static_cast<uint64_t>(value);
    return true;
}

RateLimiter::RateLimiter(uint64_t bytesPerSecond)
    : rate_(bytesPerSecond), balance_(BurstBytes(bytesPerSecond)), lastTicks_(MillisecondTicks()) {}

void RateLimiter::SetRate(uint64_t bytesPerSecond) {
    std::lock_guard guard(lock_);
    Refill();
    rate_ = bytesPerSecond;
    // A debt run up under the old limit is paid at the new one; no limit forgives it.
    balance_ = rate_ == 0 ? BurstBytes(0) : std::min(balance_, BurstBytes(rate_));
}

uint64_t RateLimiter::rate() const {
    std::lock_guard guard(lock_);
    return rate_;
}

size_t RateLimiter::ReadSize(size_t capacity) const {
    std::lock_guard guard(lock_);
    if (rate_ == 0)
        return capacity;
    const double wanted = static_cast<double>(rate_) * kReadMs / 1000.0;
    const size_t size = wanted >= static_cast<double>(capacity) ? capacity : static_cast<size_t>(wanted);
    return std::min(capacity, std::max(size, kMinReadSize));
}

void RateLimiter::Refill() {
    const uint32_t now = MillisecondTicks();
    const uint32_t elapsed = now - lastTicks_;
    lastTicks_ = now;
    if (rate_ != 0)
        balance_ = std::min(BurstBytes(rate_), balance_ + static_cast<double>(elapsed) * rate_ / 1000.0);
}

bool RateLimiter::Pay(uint64_t bytes, const std::function<bool()>& stopRequested) {
    {
        std::lock_guard guard(lock_);
        if (rate_ == 0)
            return true;
        Refill();
        balance_ -= static_cast<double>(bytes);
    }
    // Every connection waits until the shared debt is paid, so that together
    // they stay within the limit whatever each received.
    for (;;) {
        uint32_t waitMs;
        {
            std::lock_guard guard(lock_);
            Refill();
            if (rate_ == 0 || balance_ >= 0)
                return true;
            waitMs = static_cast<uint32_t>(std::min<double>(kSleepSliceMs, std::ceil(-balance_ * 1000.0 / rate_)));
        }
        if (stopRequested && stopRequested())
            return false;
        SleepMilliseconds(std::max<uint32_t>(waitMs, 1));
    }
}

}  // namespace zefo
