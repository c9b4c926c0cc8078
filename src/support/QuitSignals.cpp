#include "support/QuitSignals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace ky {

namespace {

struct sigaction gSaved[std::size(kQuitSignals)];
volatile sig_atomic_t gReceived = 0;
volatile sig_atomic_t gWakeWrite = -1;
int gWakeRead = -1;
const char* volatile gNotice = "";
int gScopes = 0;  // open scopes: only the outermost takes and gives back the handlers

void OnQuit(int) {
    // The interrupted code may be about to read errno (an EINTR it retries
    // on): the writes here must not change it.
    const int savedErrno = errno;
    gReceived = 1;
    // Only async-signal-safe calls. The wake socket never blocks: when it
    // is full, the event loop has bytes to read already.
    [[maybe_unused]] ssize_t n = write(STDERR_FILENO, gNotice, std::strlen(gNotice));
    const char byte = 1;
    if (gWakeWrite >= 0) n = write(gWakeWrite, &byte, 1);
    errno = savedErrno;
}

}  // namespace

QuitSignalsCaught::QuitSignalsCaught(const char* notice) {
    // Within another scope (one Ky of update --all) a signal already
    // received stands, and so does what the outer one says.
    if (gScopes++ > 0) return;
    gReceived = 0;
    gNotice = notice;
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = OnQuit;
    std::size_t i = 0;
    for (int signal : kQuitSignals) sigaction(signal, &action, &gSaved[i++]);
}

QuitSignalsCaught::~QuitSignalsCaught() {
    if (--gScopes > 0) return;
    std::size_t i = 0;
    for (int signal : kQuitSignals) sigaction(signal, &gSaved[i++], nullptr);
}

bool QuitSignalsCaught::Received() {
    return gReceived != 0;
}

int QuitSignalsCaught::WakeFd() {
    int pair[2];
    if (gWakeRead < 0 &&
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) == 0) {
        gWakeRead = pair[1];
        gWakeWrite = pair[0];
    }
    return gWakeRead;
}

void QuitSignalsCaught::TakeWake() {
    char byte;
    [[maybe_unused]] ssize_t n = read(gWakeRead, &byte, 1);
}

}  // namespace ky
