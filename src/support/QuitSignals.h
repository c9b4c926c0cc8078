#pragma once

#include <signal.h>

namespace ky {

// The signals that ask a program to end: Ctrl+C, kill, the terminal
// closed and Ctrl+\.
inline constexpr int kQuitSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// While it lives, the quit signals do not end the program: each is noted
// (Received), `notice` is written to standard error, and a byte is written
// to WakeFd() for an event loop that waits on it. Scopes nest: the
// outermost one clears what was received, sets the notice and gives the
// handlers back as they were.
class QuitSignalsCaught {
public:
    explicit QuitSignalsCaught(const char* notice = "");
    ~QuitSignalsCaught();
    QuitSignalsCaught(const QuitSignalsCaught&) = delete;
    QuitSignalsCaught& operator=(const QuitSignalsCaught&) = delete;

    static bool Received();
    // Readable once for each signal caught, made at its first use; -1 when
    // it cannot be made. TakeWake reads one signal's byte.
    static int WakeFd();
    static void TakeWake();
};

}  // namespace ky
