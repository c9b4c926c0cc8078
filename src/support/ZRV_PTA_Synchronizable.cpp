#include "support/ZRV_PTA_Synchronizable.h"

#include <cerrno>
#include <ctime>

namespace ZRV::PTA {

Synchronizable::Synchronizable() {
    pthread_mutex_init(&mMutex, nullptr);
    // Timed waits run on the monotonic clock, so setting the wall clock
    // neither shortens nor stretches them.
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&mCondVar, &attr);
    pthread_condattr_destroy(&attr);
}

Synchronizable::~Synchronizable() {
    pthread_cond_destroy(&mCondVar);
    pthread_mutex_destroy(&mMutex);
}

bool Synchronizable::IsOwner() const {
    // Only the owner can find its own identity here, so relaxed is enough.
    return pthread_equal(mWhichThread.load(std::memory_order_relaxed), pthread_self()) != 0;
}

void Synchronizable::Lock() {
    if (IsOwner()) {
        ++mRecursiveNesting;
        return;
    }
    pthread_mutex_lock(&mMutex);
    mRecursiveNesting = 0;
    mWhichThread.store(pthread_self(), std::memory_order_relaxed);
}

void Synchronizable::Unlock() {
    if (mRecursiveNesting != 0) {
        --mRecursiveNesting;
        return;
    }
    mWhichThread.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&mMutex);
}

Synchronizable::NestingReleaser::NestingReleaser(Synchronizable* sync)
    : mSync(sync), mNesting(sync->mRecursiveNesting) {
    mSync->mRecursiveNesting = 0;
    mSync->mWhichThread.store(0, std::memory_order_relaxed);
}

Synchronizable::NestingReleaser::~NestingReleaser() {
    mSync->mRecursiveNesting = mNesting;
    mSync->mWhichThread.store(pthread_self(), std::memory_order_relaxed);
}

void Synchronizable::Wait() {
    NestingReleaser releaser(this);
    pthread_cond_wait(&mCondVar, &mMutex);
}

void Synchronizable::SplitTimeout(std::int64_t nanos, std::int64_t& seconds, std::int64_t& rest) {
    if (nanos >= NS_PER_SEC) {
        seconds = nanos / NS_PER_SEC;
        rest = nanos % NS_PER_SEC;
    } else {
        seconds = 0;
        rest = nanos;
    }
}

bool Synchronizable::Wait(std::int64_t nanos) {
    if (nanos < 0) return false;
    std::int64_t seconds = 0, rest = 0;
    SplitTimeout(nanos, seconds, rest);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(seconds);
    deadline.tv_nsec += static_cast<long>(rest);
    if (deadline.tv_nsec >= NS_PER_SEC) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= NS_PER_SEC;
    }
    NestingReleaser releaser(this);
    return pthread_cond_timedwait(&mCondVar, &mMutex, &deadline) != ETIMEDOUT;
}

bool Synchronizable::WaitUntil(std::uint64_t nanos) {
    const std::uint64_t now = UpTimeNanos();
    return Wait(nanos > now ? static_cast<std::int64_t>(nanos - now) : 0);
}

std::uint64_t Synchronizable::UpTimeNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * NS_PER_SEC +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

void Synchronizable::Notify() {
    pthread_cond_signal(&mCondVar);
}

void Synchronizable::NotifyAll() {
    pthread_cond_broadcast(&mCondVar);
}

}  // namespace ZRV::PTA
