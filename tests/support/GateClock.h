#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>

#include "base/Clock.h"

namespace kytest {

// A counting clock that can hold the worker at its first pause, notes the
// scheduling policy of the thread that pauses, and can be made to throw;
// with a divisor, each pause also lasts that fraction of what it counts.
// `onPause`, when set before the worker starts, is called at every pause.
class GateClock final : public ky::Clock {
public:
    explicit GateClock(std::uint64_t realDivisor = 0) : mRealDivisor(realDivisor) {}
    std::uint64_t NowMicros() const override { return mNow.load(); }
    void SleepMicros(std::uint64_t micros) override {
        if (onPause) onPause();
        if (mRealDivisor) ky::PreciseSleep(micros / mRealDivisor);
        std::unique_lock lock(mMutex);
        if (policy < 0) {
            sched_param param{};
            pthread_getschedparam(pthread_self(), &policy, &param);
        }
        // A test that fails before it opens the gate must not hang the worker.
        if (!mGate.wait_for(lock, std::chrono::seconds(30), [&] { return mOpen; }) || throwOnPause)
            throw std::runtime_error(mOpen ? "clock failed" : "held at the gate for 30 s");
        mNow += micros;
    }
    void Hold() {
        std::lock_guard lock(mMutex);
        mOpen = false;
    }
    void Release() {
        {
            std::lock_guard lock(mMutex);
            mOpen = true;
        }
        mGate.notify_all();
    }
    int policy = -1;  // read after the worker is done
    bool throwOnPause = false;
    std::function<void()> onPause;

private:
    const std::uint64_t mRealDivisor;
    std::atomic<std::uint64_t> mNow{0};
    std::mutex mMutex;
    std::condition_variable mGate;
    bool mOpen = true;
};

}  // namespace kytest
