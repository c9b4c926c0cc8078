// The thread class and the monitor.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "support/ZRV_PTA_Synchronizable.h"
#include "support/ZRV_PTA_Thread.h"

namespace {

using ZRV::PTA::Synchronizable;
using ZRV::PTA::Thread;
using namespace std::chrono_literals;

// Records the scheduling it runs under, may delete its Thread, then reports.
class Probe final : public ZRV::PTA::Runnable {
public:
    void Run() override {
        sched_param param{};
        pthread_getschedparam(pthread_self(), &policy, &param);
        priority = param.sched_priority;
        ++runs;
        delete thread;  // the last use of the Thread object, by design
        done.set_value();
    }
    Thread* thread = nullptr;
    int policy = -1;
    int priority = -1;
    std::atomic<int> runs{0};
    std::promise<void> done;
};

void StartAndWait(Probe& probe, int priority, Thread::eThreadPolicy policy) {
    probe.thread = new Thread(&probe, priority, policy);
    ASSERT_TRUE(probe.thread->Start());
    ASSERT_EQ(probe.done.get_future().wait_for(5s), std::future_status::ready);
}

TEST(Thread, EachPolicyRunsOnceAndTheThreadMayDeleteItsObject) {
    Probe timeslice, fifo, clamped, roundRobin;
    StartAndWait(timeslice, 0, Thread::kThreadPolicyTimeslice);
    EXPECT_EQ(timeslice.runs.load(), 1);
    EXPECT_EQ(timeslice.policy, SCHED_OTHER);
    EXPECT_EQ(timeslice.priority, 0);
    // FIFO at 80 plus the priority when permitted; without the privilege the
    // thread still runs, under the default policy.
    StartAndWait(fifo, 5, Thread::kThreadPolicyFifo);
    EXPECT_EQ(fifo.policy == SCHED_FIFO ? fifo.priority : fifo.policy,
              fifo.policy == SCHED_FIFO ? 85 : SCHED_OTHER);
    StartAndWait(clamped, 50, Thread::kThreadPolicyFifo);
    if (clamped.policy == SCHED_FIFO) {
        EXPECT_EQ(clamped.priority, sched_get_priority_max(SCHED_FIFO));
    }
    // Round robin leaves the creator's scheduling.
    StartAndWait(roundRobin, 3, Thread::kThreadPolicyRoundRobin);
    int policy = -1;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    EXPECT_EQ(roundRobin.policy, policy);
}

TEST(Thread, DeletingTheObjectDoesNotStopTheThread) {
    struct Slow final : ZRV::PTA::Runnable {
        void Run() override {
            started.set_value();
            std::this_thread::sleep_for(20ms);
            finished.set_value();
        }
        std::promise<void> started, finished;
    } slow;
    auto* thread = new Thread(&slow, 0, Thread::kThreadPolicyTimeslice);
    ASSERT_TRUE(thread->Start());
    slow.started.get_future().wait();
    delete thread;
    EXPECT_EQ(slow.finished.get_future().wait_for(5s), std::future_status::ready);
}

// True when another thread manages to take the monitor within `patience`.
bool OtherThreadGetsIn(Synchronizable& sync, std::chrono::milliseconds patience, std::thread& other,
                       std::atomic<bool>& in) {
    other = std::thread([&] {
        Synchronizable::Guard g(sync);
        in = true;
    });
    std::this_thread::sleep_for(patience);
    return in.load();
}

TEST(Monitor, NestedLocksHoldUntilTheLastAndWaitReleasesAndRestoresTheWholeNesting) {
    Synchronizable sync;
    bool ready = false;
    std::atomic<bool> waiting{false}, in{false};
    std::thread other;
    {
        Synchronizable::Guard g1(sync);
        std::thread notifier([&] {
            while (!waiting) std::this_thread::yield();
            Synchronizable::Guard g(sync);  // gets in while the owner waits
            ready = true;
            sync.Notify();
        });
        {
            Synchronizable::Guard g2(sync);
            {
                Synchronizable::Guard g3(sync);  // nesting 2
                waiting = true;
                while (!ready) g3.Wait();
            }
        }
        notifier.join();
        // Two unlocks done, one to go: the monitor is still ours.
        EXPECT_FALSE(OtherThreadGetsIn(sync, 50ms, other, in));
    }
    other.join();
    EXPECT_TRUE(in.load());
}

TEST(Monitor, TimeoutSplits) {
    struct Case {
        std::int64_t nanos, seconds, rest;
    };
    for (auto c : {Case{1500000000, 1, 500000000}, Case{1000000000, 1, 0},
                   Case{999999999, 0, 999999999}, Case{0, 0, 0}, Case{3000000001, 3, 1}}) {
        std::int64_t s = -1, n = -1;
        Synchronizable::SplitTimeout(c.nanos, s, n);
        EXPECT_EQ(s, c.seconds) << c.nanos;
        EXPECT_EQ(n, c.rest) << c.nanos;
    }
}

TEST(Monitor, TimedWaits) {
    Synchronizable sync;
    Synchronizable::Guard g(sync);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(g.Wait(-1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(g.Wait(std::int64_t{20'000'000}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_FALSE(g.WaitUntil(Synchronizable::UpTimeNanos() - 1'000'000));  // already past
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(g.WaitUntil(Synchronizable::UpTimeNanos() + 20'000'000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 19ms);
}

TEST(Monitor, NotifyAllWakesEveryWaiter) {
    Synchronizable sync;
    std::atomic<int> waiting{0}, woken{0};
    auto waiter = [&] {
        Synchronizable::Guard g(sync);
        ++waiting;
        if (g.Wait(std::int64_t{10'000'000'000})) ++woken;
    };
    std::thread a(waiter), b(waiter);
    while (waiting < 2) std::this_thread::sleep_for(1ms);
    {
        Synchronizable::Guard g(sync);  // both are waiting once this is had
        sync.NotifyAll();
    }
    a.join();
    b.join();
    EXPECT_EQ(woken, 2);
}

TEST(Monitor, NotifyWithNobodyWaitingIsLost) {
    Synchronizable sync;
    sync.Notify();
    sync.NotifyAll();
    Synchronizable::Guard g(sync);
    EXPECT_FALSE(g.Wait(std::int64_t{30'000'000}));
}

}  // namespace
