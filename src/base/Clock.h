#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace ky {

// Time as the update sequence and the simulated device see it. The device
// needs real pauses between commands; tests and the simulator replace them
// with a clock that only counts.
class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic time in microseconds since an arbitrary start.
    virtual std::uint64_t NowMicros() const = 0;
    // Pauses for at least `micros` microseconds.
    virtual void SleepMicros(std::uint64_t micros) = 0;
};

// The machine's monotonic clock. Sleeps are never shorter than asked and
// overshoot by a few microseconds only.
class RealClock final : public Clock {
public:
    std::uint64_t NowMicros() const override;
    void SleepMicros(std::uint64_t micros) override;
};

// A clock that advances only when somebody sleeps on it. Safe to share
// between the worker thread and the thread that reads it.
class FakeClock final : public Clock {
public:
    std::uint64_t NowMicros() const override { return mNow.load(std::memory_order_acquire); }
    void SleepMicros(std::uint64_t micros) override;
    void Advance(std::uint64_t micros) { SleepMicros(micros); }
    std::uint64_t TotalSlept() const { return mSlept.load(std::memory_order_acquire); }
    std::uint64_t SleepCount() const { return mSleeps.load(std::memory_order_acquire); }

private:
    std::atomic<std::uint64_t> mNow{0};
    std::atomic<std::uint64_t> mSlept{0};
    std::atomic<std::uint64_t> mSleeps{0};
};

// The process-wide real clock.
RealClock& SystemClock();

// Sleeps at least `micros` microseconds, and only a few microseconds more:
// a plain usleep(1000) lasts about 1.1 ms (see bench/download_bench).
void PreciseSleep(std::uint64_t micros);

}  // namespace ky
