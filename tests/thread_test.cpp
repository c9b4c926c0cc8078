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
        ++runs;
        delete thread;  // the last use of the Thread object, by design: the thread runs on
        done.set_value();
    }
    Thread* thread = nullptr;
    int policy = -1;
    std::atomic<int> runs{0};
    std::promise<void> done;
};

void StartAndWait(Probe& probe, int priority, Thread::eThreadPolicy policy) {
    probe.thread = new Thread(&probe, priority, policy);
    ASSERT_TRUE(probe.thread->Start());
    ASSERT_EQ(probe.done.get_future().wait_for(5s), std::future_status::ready);
}

// The worker runs time-sliced; FIFO and round robin have no caller in this
// program: one smoke row each.
TEST(Thread, EachPolicyRunsOnceAndTheThreadMayDeleteItsObject) {
    Probe timeslice, fifo, roundRobin;
    StartAndWait(timeslice, 0, Thread::kThreadPolicyTimeslice);
    // FIFO when permitted; without the privilege the thread still runs.
    StartAndWait(fifo, 5, Thread::kThreadPolicyFifo);
    StartAndWait(roundRobin, 3, Thread::kThreadPolicyRoundRobin);
    EXPECT_EQ(std::tuple(timeslice.runs.load(), timeslice.policy, fifo.runs.load(),
                         roundRobin.runs.load()),
              std::tuple(1, SCHED_OTHER, 1, 1));
}

// The monitor has no caller in this program: one smoke row. A nested guard's
// wait lets another thread in and gets the whole nesting back; a wait that
// nobody ends times out.
TEST(Monitor, NestedWaitLetsANotifierInAndTimesOutAlone) {
    Synchronizable sync;
    bool ready = false;
    std::thread notifier;
    {
        Synchronizable::Guard outer(sync);
        Synchronizable::Guard inner(sync);
        notifier = std::thread([&] {
            Synchronizable::Guard g(sync);
            ready = true;
            sync.NotifyAll();
        });
        for (int i = 0; i < 100 && !ready; ++i) inner.Wait(std::int64_t{100'000'000});
        EXPECT_TRUE(ready) << "the notifier never came in 10 s";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(inner.Wait(std::int64_t{20'000'000}));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 19ms);
    }
    notifier.join();
}

}  // namespace
