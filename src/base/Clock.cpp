#include "Clock.h"

#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

namespace ky {

namespace {

std::uint64_t MonotonicMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// How long before the deadline the kernel sleep ends: the wake-up latency
// measured on an idle machine is 30-50 us.
constexpr std::uint64_t kWakeMarginMicros = 60;

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
    // The kernel lets a sleeping thread overrun by its timer slack (50 us by
    // default) to batch wake-ups, and waking takes tens of microseconds more:
    // a 1 ms usleep lasts about 1.1 ms. With a slack of 1 ns, a sleep to just
    // before the deadline and a short wait on the clock for the rest, the
    // pause overruns by a few microseconds. The wait keeps the core: giving
    // it up (sched_yield) on a busy machine hands it to another program for
    // a whole time slice, and a 1 ms pause then lasts 4 ms. Never shorter
    // than asked.
    thread_local const bool slackSet = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)slackSet;
    const std::uint64_t deadline = MonotonicMicros() + micros;
    if (micros > kWakeMarginMicros) {
        const std::uint64_t wake = deadline - kWakeMarginMicros;
        timespec ts{static_cast<time_t>(wake / 1000000u),
                    static_cast<long>((wake % 1000000u) * 1000u)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (MonotonicMicros() < deadline) {
    }
}

}  // namespace ky
