#pragma once

#include "support/ZRV_PTA_Runnable.h"

namespace ZRV::PTA {

// Runs one Runnable on a new detached thread with a scheduling policy.
//
// How the policies map onto Linux (applied through the thread's creation
// attributes, so nothing touches the thread or this object afterwards):
//   kThreadPolicyTimeslice  SCHED_OTHER, the normal time-sharing level; the
//                           priority offset has no Linux counterpart there
//   kThreadPolicyRoundRobin nothing set: the thread inherits its creator's
//   kThreadPolicyFifo       SCHED_FIFO at 80 + priority, clamped to the
//                           system's range; without the privilege for it the
//                           thread runs under the default policy instead
class Thread {
public:
    enum eThreadPolicy {
        kThreadPolicyTimeslice = 0,
        kThreadPolicyRoundRobin = 1,
        kThreadPolicyFifo = 2,
    };

    Thread(Runnable* r, int priority, eThreadPolicy policy);
    // Neither stops nor waits for the thread.
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Creates the thread and returns at once. The thread's Run may delete
    // this object at any moment after that, so Start reads nothing of it
    // once the thread exists. False when no thread could be created (Run
    // will not happen).
    bool Start();

private:
    static void* RunHelper(void* param);

    Runnable* mRunnable;
    int mPriority;
    eThreadPolicy mPolicy;
};

}  // namespace ZRV::PTA
