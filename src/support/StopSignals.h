#pragma once

#include <signal.h>

namespace ky {

// While it lives, the terminal's stop key (Ctrl+Z) and the stops of a
// program that reads or writes its terminal from the background are
// ignored: a flash that is being written must not be suspended.
class StopSignalsIgnored {
public:
    StopSignalsIgnored();
    ~StopSignalsIgnored();
    StopSignalsIgnored(const StopSignalsIgnored&) = delete;
    StopSignalsIgnored& operator=(const StopSignalsIgnored&) = delete;

private:
    static constexpr int kSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
    struct sigaction mSaved[3];
};

}  // namespace ky
