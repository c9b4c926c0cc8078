// Transactions with a unit's node through its /dev/fwN file.
#include "firewire/LinuxDevice.h"

#include <fcntl.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

namespace FWLib {

int Syscalls::Open(const char* path, int flags) {
    return ::open(path, flags);
}
int Syscalls::Close(int fd) {
    return ::close(fd);
}
int Syscalls::Ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}
int Syscalls::Poll(pollfd* fds, nfds_t count, int timeoutMs) {
    return ::poll(fds, count, timeoutMs);
}
ssize_t Syscalls::Read(int fd, void* buf, size_t size) {
    return ::read(fd, buf, size);
}
int Syscalls::Flock(int fd, int operation) {
    return ::flock(fd, operation);
}

IOReturn StatusFromRcode(UInt32 rcode) {
    switch (rcode) {
        case RCODE_COMPLETE:
            return kIOReturnSuccess;
        case RCODE_CONFLICT_ERROR:
            return kIOFireWireConflictError;
        case RCODE_DATA_ERROR:
            return kIOFireWireDataError;
        case RCODE_TYPE_ERROR:
            return kIOFireWireTypeError;
        case RCODE_ADDRESS_ERROR:
            return kIOFireWireAddressError;
        case RCODE_SEND_ERROR:
            return kIOReturnNotResponding;
        case RCODE_CANCELLED:
            return kIOReturnTimeout;
        case RCODE_BUSY:
            return kIOReturnBusy;
        case RCODE_GENERATION:
            return kIOFireWireBusReset;
        case RCODE_NO_ACK:
            return kIOReturnNotResponding;
        default:
            return kIOReturnError;
    }
}

IOReturn StatusFromErrno(int error) {
    switch (error) {
        case ENODEV:
        case ENOENT:
        case ENXIO:
            return kIOReturnNoDevice;
        case EACCES:
        case EPERM:
            return kIOReturnNotPrivileged;
        case EWOULDBLOCK:
            return kIOReturnExclusiveAccess;
        case EINVAL:
            return kIOReturnBadArgument;
        case ENOMEM:
            return kIOReturnNoMemory;
        case EBUSY:
            return kIOReturnBusy;
        default:
            return kIOReturnError;
    }
}

namespace {

// The largest payload every link carries (S100); the updater sends 128.
constexpr UInt32 kMaxPayload = 512;
constexpr UInt32 kAbiVersion = 5;

// What a real bus does to a transaction, and how long it is ridden out.
// After a bus reset the kernel flushes queued requests (RCODE_GENERATION)
// before it has read the new topology, and keeps a node that left for 2 s
// in case it comes back: the new generation may take that long to show.
constexpr int kResetWaitMs = 2500;
constexpr int kResetPollMs = 10;
constexpr int kMaxResetsPerRequest = 4;
// A busy acknowledgement means the packet was not taken: it may be resent.
constexpr int kBusyRetries = 3;
constexpr int kBusyPauseMs = 5;

// Generations only move forward (a reset event may arrive after GET_INFO
// has already shown a later generation).
bool Later(UInt32 a, UInt32 b) {
    return static_cast<std::int32_t>(a - b) > 0;
}

using Steady = std::chrono::steady_clock;

// A system call that a signal interrupted (the deferred Ctrl+C, a terminal
// resize) is made again, until `deadline`: the transaction goes on.
template <class Call>
auto Restarted(Call call, Steady::time_point deadline = Steady::time_point::max()) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR || Steady::now() >= deadline) return result;
    }
}

template <class T>
UInt64 Pointer(T* p) {
    return static_cast<UInt64>(reinterpret_cast<std::uintptr_t>(p));
}

class LinuxDeviceInterface final : public DeviceInterface {
public:
    LinuxDeviceInterface(int fd, std::string path, const LinuxBusOptions& options)
        : mFd(fd), mPath(std::move(path)), mOptions(options) {}
    ~LinuxDeviceInterface() override { mOptions.syscalls->Close(mFd); }

    IOReturn RefreshInfo() {
        fw_cdev_event_bus_reset reset{};
        fw_cdev_get_info info{};
        info.version = kAbiVersion;
        info.bus_reset = Pointer(&reset);
        const auto get = [&] { return mOptions.syscalls->Ioctl(mFd, FW_CDEV_IOC_GET_INFO, &info); };
        if (Restarted(get) != 0) return StatusFromErrno(errno);
        SeeGeneration(reset.generation, reset.node_id);
        return kIOReturnSuccess;
    }

    void SeeGeneration(UInt32 generation, UInt32 nodeId) {
        if (mKnown && !Later(generation, mGeneration)) return;
        mGeneration = generation;
        mNodeId = nodeId;
        mKnown = true;
    }

    UInt32 GetDevice() const override { return 1; }

    // Opens pair with closes: the file stays locked until the last Close,
    // so that an updater can hold the Ky from its first check to its last
    // block while each step opens and closes it.
    IOReturn Open() override {
        if (mOpenCount > 0 || Flock(LOCK_EX | LOCK_NB) == 0) {
            ++mOpenCount;
            return kIOReturnSuccess;
        }
        return StatusFromErrno(errno);
    }

    void Close() override {
        if (mOpenCount > 0 && --mOpenCount == 0) Flock(LOCK_UN);
    }
    int Flock(int operation) {
        return Restarted([&] { return mOptions.syscalls->Flock(mFd, operation); });
    }

    IOReturn GetBusGeneration(UInt32& generation) override {
        const IOReturn status = RefreshInfo();
        if (status == kIOReturnSuccess) generation = mGeneration;
        return status;
    }

    IOReturn Read(UInt32 device, const FWAddressStruct& addr, void* buf, UInt32& size,
                  bool failOnReset, UInt32 generation) override {
        return Transact(device, addr, TCODE_READ_BLOCK_REQUEST, nullptr, buf, size, failOnReset,
                        generation);
    }
    IOReturn Write(UInt32 device, const FWAddressStruct& addr, const void* buf, UInt32& size,
                   bool failOnReset, UInt32 generation) override {
        return Transact(device, addr, TCODE_WRITE_BLOCK_REQUEST, buf, nullptr, size, failOnReset,
                        generation);
    }
    IOReturn ReadQuadlet(UInt32 device, const FWAddressStruct& addr, Quadlet& value,
                         bool failOnReset, UInt32 generation) override {
        UInt32 size = 4;
        return Transact(device, addr, TCODE_READ_QUADLET_REQUEST, nullptr, value.data(), size,
                        failOnReset, generation);
    }
    IOReturn WriteQuadlet(UInt32 device, const FWAddressStruct& addr, const Quadlet& value,
                          bool failOnReset, UInt32 generation) override {
        UInt32 size = 4;
        return Transact(device, addr, TCODE_WRITE_QUADLET_REQUEST, value.data(), nullptr, size,
                        failOnReset, generation);
    }

private:
    IOReturn Transact(UInt32 device, const FWAddressStruct& addr, UInt32 tcode, const void* out,
                      void* in, UInt32& size, bool failOnReset, UInt32 generation) {
        // The file reaches its own node only.
        if (device == 0 && addr.nodeID != mNodeId) return kIOReturnUnsupported;
        if (size > kMaxPayload) return kIOReturnBadArgument;
        UInt32 gen = failOnReset ? generation : mGeneration;
        const UInt32 asked = size;
        int resets = 0, busy = 0;
        bool resent = false;
        for (;;) {
            size = asked;
            const IOReturn status = SendOnce(tcode, addr.Offset(), out, in, size, gen);
            if (status == kIOFireWireBusReset && !failOnReset && resets++ < kMaxResetsPerRequest) {
                // The request never left: send it again in the new generation.
                if (IOReturn s = AwaitGenerationAfter(gen); s != kIOReturnSuccess) return s;
                gen = mGeneration;
            } else if (status == kIOReturnBusy && busy++ < kBusyRetries) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kBusyPauseMs));
            } else if (status == kIOReturnTimeout && in && !resent) {
                resent = true;  // a read changes nothing: ask once more
            } else {
                return status;
            }
        }
    }

    // Waits, bounded, until the bus has a generation after `stale`: from a
    // bus-reset event or from GET_INFO, whichever shows it first. A node
    // that does not come back is gone.
    IOReturn AwaitGenerationAfter(UInt32 stale) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kResetWaitMs);
        while (!Later(mGeneration, stale)) {
            if (IOReturn s = RefreshInfo(); s != kIOReturnSuccess) return s;
            if (Later(mGeneration, stale)) break;
            if (Clock::now() >= deadline) return kIOReturnNoDevice;
            pollfd pfd{mFd, POLLIN, 0};
            const int ready = mOptions.syscalls->Poll(&pfd, 1, kResetPollMs);
            if (ready > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)))
                return kIOReturnNoDevice;
            UInt32 none = 0;
            IOReturn ignored = kIOReturnSuccess;
            if (ready > 0) ReadEvent(0, nullptr, none, ignored, deadline);  // closures start at 1
        }
        return kIOReturnSuccess;
    }

    IOReturn SendOnce(UInt32 tcode, UInt64 offset, const void* out, void* in, UInt32& size,
                      UInt32 generation) {
        fw_cdev_send_request request{};
        request.tcode = tcode;
        request.length = size;
        request.offset = offset;
        request.closure = ++mClosure;
        request.data = out ? Pointer(out) : 0;
        request.generation = generation;
        // The response is awaited until this deadline, however often the
        // calls on the way are interrupted.
        const auto deadline = Steady::now() + std::chrono::milliseconds(mOptions.responseTimeoutMs);
        const auto send = [&] {
            return mOptions.syscalls->Ioctl(mFd, FW_CDEV_IOC_SEND_REQUEST, &request);
        };
        if (Restarted(send, deadline) != 0)
            return errno == EINTR ? kIOReturnTimeout : StatusFromErrno(errno);
        return AwaitResponse(request.closure, in, size, deadline);
    }

    // Reads events until the response to `closure` arrives; bus resets on
    // the way update the generation. Bounded: a response that does not come
    // in time is a time-out.
    IOReturn AwaitResponse(UInt64 closure, void* in, UInt32& size, Steady::time_point deadline) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
            if (left.count() <= 0) return kIOReturnTimeout;
            pollfd pfd{mFd, POLLIN, 0};
            const int ready = mOptions.syscalls->Poll(&pfd, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return StatusFromErrno(errno);
            if (ready == 0) return kIOReturnTimeout;
            if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return kIOReturnNoDevice;
            IOReturn status = kIOReturnSuccess;
            if (ReadEvent(closure, in, size, status, deadline)) return status;
        }
    }

    // True when the event read was the response to `closure`.
    bool ReadEvent(UInt64 closure, void* in, UInt32& size, IOReturn& status,
                   Steady::time_point deadline) {
        alignas(8) std::array<unsigned char, 4096 + 64> buf{};
        const ssize_t n = Restarted(
            [&] { return mOptions.syscalls->Read(mFd, buf.data(), buf.size()); }, deadline);
        if (n < 0) {
            status = StatusFromErrno(errno);
            return errno != EINTR && errno != EAGAIN;
        }
        if (static_cast<size_t>(n) < sizeof(fw_cdev_event_common)) return false;
        fw_cdev_event_common common;
        std::memcpy(&common, buf.data(), sizeof common);
        // Events are as long as their fields, without the struct's tail padding.
        constexpr size_t kResetBytes = offsetof(fw_cdev_event_bus_reset, generation) + 4;
        constexpr size_t kResponseHeader = offsetof(fw_cdev_event_response, data);
        if (common.type == FW_CDEV_EVENT_BUS_RESET && static_cast<size_t>(n) >= kResetBytes) {
            fw_cdev_event_bus_reset reset{};
            std::memcpy(&reset, buf.data(), kResetBytes);
            SeeGeneration(reset.generation, reset.node_id);
            return false;
        }
        if (common.type != FW_CDEV_EVENT_RESPONSE || common.closure != closure ||
            static_cast<size_t>(n) < kResponseHeader)
            return false;
        fw_cdev_event_response response{};
        std::memcpy(&response, buf.data(), kResponseHeader);
        status = StatusFromRcode(response.rcode);
        if (status == kIOReturnSuccess && in) {
            // The payload follows the header at the data member's offset.
            const size_t payload =
                std::min<size_t>({response.length, size, static_cast<size_t>(n) - kResponseHeader});
            std::memcpy(in, buf.data() + kResponseHeader, payload);
            size = static_cast<UInt32>(payload);
        }
        return true;
    }

    int mFd;
    std::string mPath;
    LinuxBusOptions mOptions;
    UInt32 mGeneration = 0;
    UInt32 mNodeId = 0;
    bool mKnown = false;  // a generation has been seen
    UInt64 mClosure = 0;
    unsigned mOpenCount = 0;
};

class LinuxPlugIn final : public PlugInInterface {
public:
    LinuxPlugIn(std::string path, LinuxBusOptions options)
        : mPath(std::move(path)), mOptions(std::move(options)) {}

    IOReturn QueryInterface(std::unique_ptr<DeviceInterface>& device) override {
        const int fd = OpenWhenPermitted();
        if (fd < 0) return StatusFromErrno(errno);
        auto opened = std::make_unique<LinuxDeviceInterface>(fd, mPath, mOptions);
        if (const IOReturn status = opened->RefreshInfo(); status != kIOReturnSuccess)
            return status;
        device = std::move(opened);
        return kIOReturnSuccess;
    }

private:
    // A freshly plugged Ky's file appears before udev has given the user
    // access to it: permission is asked again for a short while.
    int OpenWhenPermitted() {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(mOptions.accessWaitMs);
        for (;;) {
            const int fd = mOptions.syscalls->Open(mPath.c_str(), O_RDWR | O_CLOEXEC);
            if (fd >= 0 || (errno != EACCES && errno != EPERM) || Clock::now() >= deadline)
                return fd;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::string mPath;
    LinuxBusOptions mOptions;
};

class LinuxService final : public Service {
public:
    LinuxService(UnitInfo info, LinuxBusOptions options)
        : mInfo(std::move(info)), mOptions(std::move(options)) {}
    const UnitInfo& Info() const override { return mInfo; }
    IOReturn CreatePlugInInterface(std::unique_ptr<PlugInInterface>& plugIn) const override {
        std::error_code ec;
        if (!std::filesystem::exists(mInfo.deviceNode, ec)) return kIOReturnNoDevice;
        plugIn = std::make_unique<LinuxPlugIn>(mInfo.deviceNode, mOptions);
        return kIOReturnSuccess;
    }

private:
    UnitInfo mInfo;
    LinuxBusOptions mOptions;
};

}  // namespace

io_service_t MakeLinuxService(UnitInfo info, const LinuxBusOptions& options) {
    return std::make_shared<LinuxService>(std::move(info), options);
}

}  // namespace FWLib
