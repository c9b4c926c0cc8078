#pragma once

#include "base/Trace.h"

namespace ky {

// Holds off sleep, shutdown and idle through logind while it lives, so the
// machine does not go to sleep while the Ky's flash is being written. The
// whole exchange with the system bus (connect, authenticate, call) takes
// at most half a second: where logind cannot be reached or does not answer
// in time, it says so on `log`, and the update goes on without it.
class SleepInhibitor {
public:
    explicit SleepInhibitor(const Trace& log);
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;
    bool Held() const { return mFd >= 0; }

    static constexpr unsigned kBoundMillis = 500;

private:
    int mFd = -1;
};

}  // namespace ky
