#include "Clock.h"

#include <thread>

#include <time.h>

namespace ky {

namespace {

std::uint64_t MonotonicMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// How long before the deadline the kernel sleep stops; the rest is spent
// yielding. It covers the usual timer slack (50 us) and wake-up latency.
constexpr std::uint64_t kSpinMarginMicros = 120;

}  // namespace

std::uint64_t RealClock::NowMicros() const {
    return MonotonicMicros();
}

void RealClock::SleepMicros(std::uint64_t micros) {
    PreciseSleep(micros);
}

void FakeClock::SleepMicros(std::uint64_t micros) {
    mNow.fetch_add(micros, std::memory_order_acq_rel);
    mSlept.fetch_add(micros, std::memory_order_acq_rel);
    mSleeps.fetch_add(1, std::memory_order_acq_rel);
}

RealClock& SystemClock() {
    static RealClock clock;
    return clock;
}

void PreciseSleep(std::uint64_t micros) {
    const std::uint64_t deadline = MonotonicMicros() + micros;
    if (micros > kSpinMarginMicros) {
        const std::uint64_t coarse = micros - kSpinMarginMicros;
        timespec ts{static_cast<time_t>(coarse / 1000000u),
                    static_cast<long>((coarse % 1000000u) * 1000u)};
        while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) != 0) {
        }
    }
    while (MonotonicMicros() < deadline) std::this_thread::yield();
}

}  // namespace ky
