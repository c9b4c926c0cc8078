#include "update/SleepInhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base/Translate.h"

namespace ky {

namespace {

std::uint64_t NowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1'000'000u + std::uint64_t(ts.tv_nsec) / 1000u;
}

// The answer to the Inhibit call, once it has come.
struct Exchange {
    bool answered = false;
    int fd = -1;  // ours, once answered with one
    std::string problem;
};

int OnReply(sd_bus_message* reply, void* userData, sd_bus_error*) {
    auto& exchange = *static_cast<Exchange*>(userData);
    exchange.answered = true;
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        exchange.problem = error->message ? error->message : error->name;
        return 0;
    }
    int fd = -1;
    const int r = sd_bus_message_read(reply, "h", &fd);
    if (r < 0)
        exchange.problem = strerror(-r);
    else
        exchange.fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    return 0;
}

// Drives the connection until the answer has come or the time is up. The
// library's own waits (90 s to authenticate, 25 s for an answer) would hold
// up the first write of the update.
int Drive(sd_bus* bus, Exchange& exchange, std::uint64_t deadline) {
    while (!exchange.answered) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) return r;
        if (r > 0) continue;
        const std::uint64_t now = NowMicros();
        if (now >= deadline) return -ETIMEDOUT;
        const int w = sd_bus_wait(bus, deadline - now);
        if (w < 0 && w != -EINTR) return w;
    }
    return 0;
}

}  // namespace

SleepInhibitor::SleepInhibitor(const Trace& log) {
    const std::uint64_t deadline = NowMicros() + kBoundMillis * 1000u;
    sd_bus* bus = nullptr;
    Exchange exchange;
    int r = sd_bus_open_system(&bus);
    if (r >= 0)
        r = sd_bus_call_method_async(bus, nullptr, "org.freedesktop.login1",
                                     "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     "Inhibit", OnReply, &exchange, "ssss", "sleep:shutdown:idle",
                                     "kyfw",
                                     // TRANSLATORS: why sleep and shutdown wait, as the
                                     // desktop shows it.
                                     Tr("Updating the Ky's firmware"), "block");
    if (r >= 0) r = Drive(bus, exchange, deadline);
    mFd = exchange.fd;
    if (mFd >= 0)
        log << "Holding off sleep and shutdown through logind\n";
    else if (r == -ETIMEDOUT)
        log << "logind cannot be reached (no answer within " << kBoundMillis
            << " ms): sleep and shutdown are not held off\n";
    else
        log << "logind cannot be reached ("
            << (exchange.problem.empty() ? strerror(-r) : exchange.problem)
            << "): sleep and shutdown are not held off\n";
    sd_bus_close_unref(bus);  // no flush: it could wait for a silent peer
}

SleepInhibitor::~SleepInhibitor() {
    if (mFd >= 0) close(mFd);
}

}  // namespace ky
