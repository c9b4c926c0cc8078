#pragma once

#include <ostream>

namespace ky {

// Holds off sleep, shutdown and idle through logind while it lives, so the
// machine does not go to sleep while the Ky's flash is being written. Where
// logind cannot be reached it says so on `log`, and the update goes on.
class SleepInhibitor {
public:
    explicit SleepInhibitor(std::ostream& log);
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;
    bool Held() const { return mFd >= 0; }

private:
    int mFd = -1;
};

}  // namespace ky
