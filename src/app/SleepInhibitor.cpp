#include "app/SleepInhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>

namespace ky {

namespace {
constexpr uint64_t kAnswerMicros = 200'000;
}  // namespace

SleepInhibitor::SleepInhibitor(std::ostream& log) {
    sd_bus* bus = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int fd = -1;
    sd_bus_message* call = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r >= 0)
        r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1",
                                           "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", "Inhibit");
    if (r >= 0)
        r = sd_bus_message_append(call, "ssss", "sleep:shutdown:idle", "kyfw",
                                  "Updating the Ky's firmware", "block");
    // Bounded: the window waits for the answer, and must not freeze when
    // logind does not answer (D-Bus would wait 25 s).
    if (r >= 0) r = sd_bus_call(bus, call, kAnswerMicros, &error, &reply);
    sd_bus_message_unref(call);
    if (r >= 0) r = sd_bus_message_read(reply, "h", &fd);
    if (r >= 0) mFd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (mFd >= 0)
        log << "Holding off sleep and shutdown through logind\n";
    else
        log << "logind cannot be reached (" << (error.message ? error.message : strerror(-r))
            << "): sleep and shutdown are not held off\n";
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_unref(bus);
}

SleepInhibitor::~SleepInhibitor() {
    if (mFd >= 0) close(mFd);
}

}  // namespace ky
