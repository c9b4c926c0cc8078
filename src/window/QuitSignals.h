#pragma once

#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <optional>

#include "support/QuitSignals.h"

namespace ky {

// While it lives, each quit signal (see ky::QuitSignalsCaught) is a call
// of `onSignal` on the main thread, in the event loop, instead of the end
// of the program where it stands; SIGPIPE is ignored.
class QuitSignalsInLoop {
public:
    explicit QuitSignalsInLoop(std::function<void()> onSignal);

private:
    std::optional<QuitSignalsCaught> mCaught;  // while the event loop can hear them
    std::unique_ptr<QSocketNotifier> mNotifier;
};

}  // namespace ky
