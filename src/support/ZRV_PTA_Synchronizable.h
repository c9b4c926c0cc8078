#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace ZRV::PTA {

inline constexpr std::int64_t NS_PER_SEC = 1000000000;

// A monitor: a recursive lock made of a plain mutex, with a condition
// variable. Lock and the waits are private; use them through a Guard:
//
//   Synchronizable::Guard guard(monitor);   // locks, unlocks at scope end
//   while (!ready) guard.Wait();
//
// Part of the thread library, for threads that wait on each other; the
// updater's worker needs no monitor.
class Synchronizable {
public:
    Synchronizable();
    virtual ~Synchronizable();

    Synchronizable(const Synchronizable&) = delete;
    Synchronizable& operator=(const Synchronizable&) = delete;

    // Wake one waiting thread, or all of them; a notify with nobody waiting
    // is lost. Neither needs the monitor.
    void Notify();
    void NotifyAll();

    // Holds the monitor for its scope and gives access to the waits.
    class Guard {
    public:
        explicit Guard(Synchronizable& sync) : mSync(sync) { mSync.Lock(); }
        ~Guard() { mSync.Unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

        void Wait() { mSync.Wait(); }
        bool Wait(std::int64_t nanos) { return mSync.Wait(nanos); }
        bool WaitUntil(std::uint64_t nanos) { return mSync.WaitUntil(nanos); }

    private:
        Synchronizable& mSync;
    };

    // The split of a relative time-out into whole seconds and nanoseconds.
    static void SplitTimeout(std::int64_t nanos, std::int64_t& seconds, std::int64_t& rest);
    // The system's up-time clock (monotonic, from boot) in nanoseconds.
    static std::uint64_t UpTimeNanos();

private:
    friend class Guard;

    // While a wait runs, the monitor belongs to nobody; afterwards the
    // waiter owns it again with its nesting restored.
    class NestingReleaser {
    public:
        explicit NestingReleaser(Synchronizable* sync);
        ~NestingReleaser();
        NestingReleaser(const NestingReleaser&) = delete;
        NestingReleaser& operator=(const NestingReleaser&) = delete;

    private:
        Synchronizable* mSync;
        unsigned mNesting;
    };

    void Lock();
    void Unlock();
    void Wait();
    bool Wait(std::int64_t nanos);
    bool WaitUntil(std::uint64_t nanos);
    bool IsOwner() const;

    pthread_mutex_t mMutex;
    std::atomic<pthread_t> mWhichThread{0};  // 0: nobody owns the monitor
    unsigned mRecursiveNesting = 0;
    pthread_cond_t mCondVar;
};

}  // namespace ZRV::PTA
