// Pauses and assertions that every layer relies on.
#include <gtest/gtest.h>
#include <time.h>

#include "base/Clock.h"
#include "base/KyAssert.h"

namespace {

std::uint64_t NowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000u + std::uint64_t(ts.tv_nsec) / 1000u;
}

TEST(PreciseSleep, NeverShorterThanAsked) {
    for (std::uint64_t micros : {0u, 1u, 59u, 60u, 61u, 1000u, 2500u}) {
        for (int i = 0; i < 10; ++i) {
            const std::uint64_t start = NowMicros();
            ky::PreciseSleep(micros);
            EXPECT_GE(NowMicros() - start, micros);
        }
    }
}

TEST(FakeClock, AdvancesOnlyBySleeping) {
    ky::FakeClock clock;
    EXPECT_EQ(clock.NowMicros(), 0u);
    clock.SleepMicros(1000);
    clock.Advance(5);
    EXPECT_EQ(clock.NowMicros(), 1005u);
    EXPECT_EQ(clock.TotalSlept(), 1005u);
    EXPECT_EQ(clock.SleepCount(), 2u);
}

TEST(KyAssertDeathTest, WritesFileLineAndExpressionThenAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int value = 3;
    EXPECT_DEATH(KY_ASSERT(value == 4), "^base_test.cpp:[0-9]+: failed assertion `value == 4'\n");
    KY_ASSERT(value == 3);  // a true check does nothing
}

}  // namespace
