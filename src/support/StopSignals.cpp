#include "support/StopSignals.h"

namespace ky {

StopSignalsIgnored::StopSignalsIgnored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &ignore, &mSaved[i]);
}

StopSignalsIgnored::~StopSignalsIgnored() {
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &mSaved[i], nullptr);
}

}  // namespace ky
