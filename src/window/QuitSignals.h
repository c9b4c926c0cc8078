#pragma once

#include <functional>

namespace ky {

// Turns SIGINT, SIGTERM, SIGHUP (the terminal closed) and SIGQUIT into a
// call of `onSignal` on the main thread, in the event loop, instead of
// ending the program where it stands; SIGPIPE is ignored.
void CatchQuitSignals(std::function<void()> onSignal);

}  // namespace ky
