#include "net/rate_limit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/clock.h"

namespace zefo::test {
namespace {

TEST(RateLimitTest, ReadsCurlsRateUnits) {
    const std::pair<const char*, uint64_t> good[] = {{"0", 0},
                                                     {"100", 100},
                                                     {"10k", 10240},
                                                     {"10K", 10240},
                                                     {"2m", 2u << 20},
                                                     {"1G", 1u << 30},
                                                     {"3T", 3ull << 40},
                                                     {"1p", 1ull << 50},
                                                     {"1.5K", 1536},
                                                     {"0.5", 1},
                                                     {"0.0", 0},
                                                     {"007", 7},
                                                     {"16383P", 16383ull << 50}};
    for (const auto& [text, rate] : good) {
        uint64_t parsed = 12345;
        EXPECT_TRUE(ParseRate(text, parsed)) << text;
        EXPECT_EQ(parsed, rate) << text;
    }
    for (const char* bad : {"", "-5", "10KB", "10X", " 10", "10 ", "1e3", "K", ".5", "5.", "10 k", "1,5K",
                            "99999999999999999999", "16384P"}) {
        uint64_t parsed = 0;
        EXPECT_FALSE(ParseRate(bad, parsed)) << bad;
    }
}

class RateLimitClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock.SetRealWaitLimit(0);
        SetTestClock(&clock);
    }
    void TearDown() override { SetTestClock(nullptr); }

    ManualClock clock{1000};
};

TEST_F(RateLimitClockTest, ReceivingAtTheLimitTakesTheBytesOverTheRate) {
    RateLimiter limiter(1000);  // a burst of 50 bytes
    EXPECT_TRUE(limiter.Pay(50));
    EXPECT_EQ(clock.Ticks(), 1000u);
    EXPECT_TRUE(limiter.Pay(1000));
    EXPECT_EQ(clock.Ticks(), 2000u);

    // Idle time earns no more than the burst.
    clock.Advance(60000);
    const uint32_t start = clock.Ticks();
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(limiter.Pay(100));
    EXPECT_NEAR(static_cast<double>(clock.Ticks() - start), 9950.0, 2.0);

    // Without a limit nothing waits.
    RateLimiter unlimited;
    const uint32_t before = clock.Ticks();
    EXPECT_TRUE(unlimited.Pay(uint64_t{1} << 40));
    EXPECT_EQ(clock.Ticks(), before);
}

TEST_F(RateLimitClockTest, AStopRequestOrANewRateEndsTheWait) {
    RateLimiter limiter(1000);
    int asked = 0;
    uint32_t start = clock.Ticks();
    EXPECT_FALSE(limiter.Pay(10000, [&] { return ++asked > 1; }));
    EXPECT_EQ(clock.Ticks() - start, RateLimiter::kSleepSliceMs);

    // The debt stays: the next bytes wait for it too, at a new rate.
    limiter.SetRate(100000);
    start = clock.Ticks();
    EXPECT_TRUE(limiter.Pay(0));
    EXPECT_NEAR(static_cast<double>(clock.Ticks() - start), 100.0, 2.0);

    // No limit any more: a waiting connection goes on at once.
    limiter.SetRate(1000);
    clock.OnWait([&](uint32_t) { limiter.SetRate(0); });
    start = clock.Ticks();
    EXPECT_TRUE(limiter.Pay(100000));
    EXPECT_EQ(clock.Ticks() - start, RateLimiter::kSleepSliceMs);
    EXPECT_EQ(limiter.rate(), 0u);
}

TEST(RateLimitTest, ReadsAreSmallPiecesOfTheLimit) {
    EXPECT_EQ(RateLimiter(0).ReadSize(65536), 65536u);
    EXPECT_EQ(RateLimiter(100000).ReadSize(65536), 2000u);
    EXPECT_EQ(RateLimiter(1000).ReadSize(65536), RateLimiter::kMinReadSize);
    EXPECT_EQ(RateLimiter(1000).ReadSize(100), 100u);
    EXPECT_EQ(RateLimiter(uint64_t{1} << 40).ReadSize(65536), 65536u);
}

TEST(RateLimitTest, ConnectionsShareOneBudget) {
    // Four threads receive 10,000 bytes together at 20,000 bytes per second: with
    // one shared budget that takes the bytes beyond the burst over the rate, 450 ms
    // (less the clock's last millisecond); with a budget each, a quarter of that.
    RateLimiter limiter(20000);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i)
                limiter.Pay(100);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(400));
}

}  // namespace
}  // namespace zefo::test
