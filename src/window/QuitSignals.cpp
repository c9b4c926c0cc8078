#include "window/QuitSignals.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace ky {

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(gSignalPipe[0], &byte, 1);  // async-signal-safe
}

}  // namespace

void CatchQuitSignals(std::function<void()> onSignal) {
    if (gSignalPipe[0] < 0 && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0)
        return;
    auto* notifier =
        new QSocketNotifier(gSignalPipe[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onSignal] {
        char byte;
        [[maybe_unused]] ssize_t n = read(gSignalPipe[1], &byte, 1);
        onSignal();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
    // Output to a reader that went away must not end the program.
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace ky
