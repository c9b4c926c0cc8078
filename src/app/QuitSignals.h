#pragma once

#include <functional>

namespace ky {

// Turns SIGINT and SIGTERM into a call of `onSignal` on the main thread, in
// the event loop, instead of ending the program where it stands.
void CatchQuitSignals(std::function<void()> onSignal);

}  // namespace ky
