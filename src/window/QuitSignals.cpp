#include "window/QuitSignals.h"

#include <signal.h>

namespace ky {

QuitSignalsInLoop::QuitSignalsInLoop(std::function<void()> onSignal) {
    // Output to a reader that went away must not end the program.
    signal(SIGPIPE, SIG_IGN);
    const int wake = QuitSignalsCaught::WakeFd();
    if (wake < 0) return;
    mCaught.emplace();
    mNotifier = std::make_unique<QSocketNotifier>(wake, QSocketNotifier::Read);
    QObject::connect(mNotifier.get(), &QSocketNotifier::activated, mNotifier.get(),
                     [onSignal = std::move(onSignal)] {
                         QuitSignalsCaught::TakeWake();
                         onSignal();
                     });
}

}  // namespace ky
