#pragma once

// The real bus: the kernel's firewire character devices (/dev/fwN) and
// the unit directories it lists in sysfs.
//
// Discovery scans /sys/bus/firewire/devices for units (fwN.M) with the
// unit-spec ID and software version asked for, skipping the local node; the
// unit's node fwN gives the device file /dev/fwN, its GUID, vendor and
// model. The device interface opens that file, reads the bus generation
// with FW_CDEV_IOC_GET_INFO (ABI version 5), sends each transaction with
// FW_CDEV_IOC_SEND_REQUEST and waits, bounded, for its response event.
// Open takes an exclusive lock on the file, so that two updaters never
// drive one Ky at once.

#include <poll.h>
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

#include "firewire/FWPlatform.h"

namespace FWLib {

// The system calls the backend makes, so that tests can stand in for the
// kernel. The default forwards to the C library.
class Syscalls {
public:
    virtual ~Syscalls() = default;
    virtual int Open(const char* path, int flags);
    virtual int Close(int fd);
    virtual int Ioctl(int fd, unsigned long request, void* arg);
    virtual int Poll(pollfd* fds, nfds_t count, int timeoutMs);
    virtual ssize_t Read(int fd, void* buf, size_t size);
    virtual int Flock(int fd, int operation);
};

struct LinuxBusOptions {
    std::filesystem::path sysfsDevices = "/sys/bus/firewire/devices";
    std::filesystem::path devDirectory = "/dev";
    std::shared_ptr<Syscalls> syscalls = std::make_shared<Syscalls>();
    // How long a transaction may wait for its response: the kernel's split
    // time-out is 2 s, and it answers CANCELLED after it.
    int responseTimeoutMs = 3000;
    // How long a device file that refuses this user is tried again: udev
    // gives the user access a moment after the file appears.
    int accessWaitMs = 200;
};

// The kernel's response code (RCODE_*) as a status.
IOReturn StatusFromRcode(UInt32 rcode);
// A system call's errno as a status.
IOReturn StatusFromErrno(int error);

class LinuxBus final : public Bus {
public:
    explicit LinuxBus(LinuxBusOptions options = {});
    IOReturn GetMatchingServices(const MatchingDictionary& match,
                                 std::vector<io_service_t>& services) override;
    // A controller shows as /dev/fw* files (its own node's among them).
    BusSurvey Survey() override;

private:
    LinuxBusOptions mOptions;
};

// The real bus. A machine without FireWire support has one too: it shows
// no controller and no Ky.
std::shared_ptr<Bus> OpenLinuxBus();

}  // namespace FWLib
