#include "support/ZRV_PTA_Thread.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace ZRV::PTA {

namespace {

constexpr int kFifoBase = 80;

// Thread attributes for one creation; destroyed with the object.
class Attributes {
public:
    Attributes() {
        pthread_attr_init(&mAttr);
        pthread_attr_setdetachstate(&mAttr, PTHREAD_CREATE_DETACHED);
    }
    ~Attributes() { pthread_attr_destroy(&mAttr); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;

    void SetPolicy(int policy, int priority) {
        sched_param param{};
        param.sched_priority = priority;
        pthread_attr_setinheritsched(&mAttr, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&mAttr, policy);
        pthread_attr_setschedparam(&mAttr, &param);
    }
    pthread_attr_t* Get() { return &mAttr; }

private:
    pthread_attr_t mAttr;
};

void ApplyPolicy(Attributes& attr, Thread::eThreadPolicy policy, int priority) {
    switch (policy) {
        case Thread::kThreadPolicyTimeslice:
            attr.SetPolicy(SCHED_OTHER, 0);
            break;
        case Thread::kThreadPolicyFifo:
            attr.SetPolicy(SCHED_FIFO,
                           std::clamp(kFifoBase + priority, sched_get_priority_min(SCHED_FIFO),
                                      sched_get_priority_max(SCHED_FIFO)));
            break;
        case Thread::kThreadPolicyRoundRobin:
            break;
    }
}

}  // namespace

Thread::Thread(Runnable* r, int priority, eThreadPolicy policy)
    : mRunnable(r), mPriority(priority), mPolicy(policy) {}

Thread::~Thread() = default;

bool Thread::Start() {
    const eThreadPolicy policy = mPolicy;
    const int priority = mPriority;
    pthread_t handle;
    Attributes attr;
    ApplyPolicy(attr, policy, priority);
    if (pthread_create(&handle, attr.Get(), RunHelper, this) == 0) return true;
    // A real-time policy needs privileges; run under the default one then.
    Attributes plain;
    return pthread_create(&handle, plain.Get(), RunHelper, this) == 0;
}

void* Thread::RunHelper(void* param) {
    Runnable* runnable = static_cast<Thread*>(param)->mRunnable;
    runnable->Run();  // may delete the Thread: nothing of it is touched after
    return nullptr;
}

}  // namespace ZRV::PTA
