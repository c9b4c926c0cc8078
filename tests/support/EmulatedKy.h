#pragma once

// An emulated Ky behind umockdev: a sysfs tree with a local node and the
// Ky's node and unit, and a /dev/fw1 whose ioctls and reads are answered as
// the kernel's firewire character device answers them, backed by the model
// of the Ky's update unit. Used by the end-to-end tests and a benchmark.

#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/KyUnitModel.h"
#include "support/KernelEvents.h"

namespace kytest {

inline constexpr const char* kSysfs = R"(P: /devices/pci0000:00/0000:00:1e.0/fw0
N: fw0
E: SUBSYSTEM=firewire
A: dev=244:0
A: guid=0x0011223344556677
A: is_local=1

P: /devices/pci0000:00/0000:00:1e.0/fw1
N: fw1
E: SUBSYSTEM=firewire
A: dev=244:1
A: guid=0x0000d0a004120187
A: is_local=0
A: units=0x000a27:0x000011
A: vendor_name=KY

P: /devices/pci0000:00/0000:00:1e.0/fw1/fw1.0
E: SUBSYSTEM=firewire
A: specifier_id=0x000a27
A: version=0x000011
A: modalias=ieee1394:ven00000000mo00000000sp00000A27ver00000011
)";

inline UInt32 Rcode(IOReturn status) {
    switch (status) {
        case kIOReturnSuccess:
            return RCODE_COMPLETE;
        case kIOFireWireConflictError:
            return RCODE_CONFLICT_ERROR;
        case kIOFireWireDataError:
            return RCODE_DATA_ERROR;
        case kIOFireWireTypeError:
            return RCODE_TYPE_ERROR;
        default:
            return RCODE_ADDRESS_ERROR;
    }
}

// The kernel's side of /dev/fw1 for one Ky, as the firewire core behaves:
// a bus reset flushes the request in flight with RCODE_GENERATION before
// GET_INFO shows the new generation and before the reset event comes; a
// node that leaves keeps its file for 2 s (requests answered
// RCODE_GENERATION, generation frozen) and either comes back with a new
// generation or answers ENODEV from then on; a busy acknowledgement ends as
// RCODE_BUSY and is not retried by the kernel.
class EmulatedNode {
public:
    using Ms = std::chrono::milliseconds;
    UInt32 failAtBlock = 0;  // the n-th block write is answered with failRcode
    UInt32 failRcode = RCODE_SEND_ERROR;
    UInt32 busyAtBlock = 0;  // from the n-th block write, busyAnswers answers are RCODE_BUSY
    unsigned busyAnswers = 0;
    UInt32 resetAtBlock = 0;  // the bus resets as the n-th block write is sent
    Ms resetInfoAfter{30}, resetEventAfter{40};
    UInt32 leaveAtBlock = 0;  // the node leaves as the n-th block write is sent
    Ms backAfter{500};        // 2 s or more: gone for good
    int devFd = -1;

    ~EmulatedNode() {
        for (auto& t : mTimers) t.join();
    }
    EmulatedNode() = default;
    EmulatedNode(const EmulatedNode&) = delete;
    EmulatedNode& operator=(const EmulatedNode&) = delete;
    kysim::KyUnitModel& Model() { return mModel; }
    unsigned Resets() const { return mResets; }
    // Back on the bus as it was, for the next scenario.
    void NewScenario() {
        for (auto& t : mTimers) t.join();
        mTimers.clear();
        std::lock_guard lock(mMutex);
        failAtBlock = busyAtBlock = resetAtBlock = leaveAtBlock = 0;
        busyAnswers = 0;
        mBlocks = mResets = 0;
        mResetDone = mLeft = false;
        mShowAt = mBackAt = {};
        mGoneAt = Steady::time_point::max();
        mShownBefore = mGeneration;
    }

    gboolean Ioctl(UMockdevIoctlClient* client) {
        std::lock_guard lock(mMutex);
        if (Gone()) return umockdev_ioctl_client_complete(client, -1, ENODEV), TRUE;
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        switch (umockdev_ioctl_client_get_request(client)) {
            case FW_CDEV_IOC_GET_INFO:
                return GetInfo(client, arg);
            case FW_CDEV_IOC_SEND_REQUEST:
                return SendRequest(client, arg);
            default:
                return umockdev_ioctl_client_complete(client, -1, ENOTTY), TRUE;
        }
    }

    gboolean Read(UMockdevIoctlClient* client) {
        std::lock_guard lock(mMutex);
        if (Gone()) return umockdev_ioctl_client_complete(client, -1, ENODEV), TRUE;
        if (mEvents.empty()) return umockdev_ioctl_client_complete(client, -1, EAGAIN), TRUE;
        UMockdevIoctlData* buf = umockdev_ioctl_client_get_arg(client);
        const auto event = mEvents.front();  // one event per read
        mEvents.pop_front();
        const size_t n = std::min(event.size(), static_cast<size_t>(buf->data_len));
        std::memcpy(buf->data, event.data(), n);
        umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
        return TRUE;
    }

private:
    using Steady = std::chrono::steady_clock;

    bool Gone() const { return Steady::now() >= mGoneAt; }
    UInt32 ShownGeneration() const { return Steady::now() < mShowAt ? mShownBefore : mGeneration; }

    gboolean GetInfo(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        UMockdevIoctlData* s =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(fw_cdev_get_info), nullptr);
        auto* info = reinterpret_cast<fw_cdev_get_info*>(s->data);
        if (info->bus_reset) {
            UMockdevIoctlData* r = umockdev_ioctl_data_resolve(
                s, offsetof(fw_cdev_get_info, bus_reset), sizeof(fw_cdev_event_bus_reset), nullptr);
            auto* reset = reinterpret_cast<fw_cdev_event_bus_reset*>(r->data);
            reset->type = FW_CDEV_EVENT_BUS_RESET;
            reset->node_id = 0xFFC1;
            reset->local_node_id = 0xFFC0;
            reset->generation = ShownGeneration();
        }
        info->card = 0;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    gboolean SendRequest(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        UMockdevIoctlData* s =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(fw_cdev_send_request), nullptr);
        const fw_cdev_send_request request = *reinterpret_cast<fw_cdev_send_request*>(s->data);
        std::vector<UInt8> out;
        if (request.data && request.length) {
            UMockdevIoctlData* d = umockdev_ioctl_data_resolve(
                s, offsetof(fw_cdev_send_request, data), request.length, nullptr);
            out.assign(d->data, d->data + request.length);
        }
        if (request.tcode == TCODE_WRITE_BLOCK_REQUEST) ++mBlocks;
        std::vector<UInt8> payload;
        const UInt32 rcode = Transact(request, out, payload);
        Queue(ResponseEvent(request.closure, rcode, payload));
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    // A new generation: shown by GET_INFO after `show`, its event after `event`.
    void NewGeneration(Ms show, Ms event) {
        mShownBefore = mGeneration;
        ++mGeneration;
        ++mResets;
        mShowAt = Steady::now() + show;
        const UInt32 generation = mGeneration;
        mTimers.emplace_back([this, event, generation] {
            std::this_thread::sleep_for(event);
            std::lock_guard lock(mMutex);
            Queue(BusResetEvent(generation, 0xFFC1));
        });
    }

    void StartBusEvents(bool block) {
        if (block && mBlocks == resetAtBlock && !mResetDone) {
            mResetDone = true;
            NewGeneration(resetInfoAfter, resetEventAfter);
        }
        if (block && mBlocks == leaveAtBlock && !mLeft) {
            mLeft = true;
            mShownBefore = mGeneration;  // frozen while the node is away
            mShowAt = Steady::time_point::max();
            mBackAt = Steady::now() + backAfter;
            if (backAfter >= Ms(2000)) {
                mGoneAt = Steady::now() + Ms(2000);
            } else {
                ++mGeneration;  // what the node will have when it is back
                const UInt32 generation = mGeneration;
                mTimers.emplace_back([this, generation] {
                    std::this_thread::sleep_for(backAfter);
                    std::lock_guard lock(mMutex);
                    mShowAt = Steady::now();
                    ++mResets;
                    Queue(BusResetEvent(generation, 0xFFC1));
                });
            }
        }
    }

    UInt32 Transact(const fw_cdev_send_request& r, const std::vector<UInt8>& out,
                    std::vector<UInt8>& payload) {
        const bool block = r.tcode == TCODE_WRITE_BLOCK_REQUEST;
        StartBusEvents(block);
        if (r.generation != mGeneration || Steady::now() < mBackAt) return RCODE_GENERATION;
        if (block && mBlocks >= busyAtBlock && busyAtBlock && busyAnswers > 0)
            return --busyAnswers, RCODE_BUSY;
        if (block && mBlocks == failAtBlock) return failRcode;
        FWLib::Quadlet q{};
        switch (r.tcode) {
            case TCODE_WRITE_QUADLET_REQUEST:
                std::memcpy(q.data(), out.data(), 4);
                return Rcode(mModel.WriteQuadlet(r.offset, q));
            case TCODE_READ_QUADLET_REQUEST: {
                const IOReturn status = mModel.ReadQuadlet(r.offset, q);
                payload.assign(q.begin(), q.end());
                return Rcode(status);
            }
            case TCODE_WRITE_BLOCK_REQUEST:
                return Rcode(mModel.WriteBlock(r.offset, out.data(), r.length));
            case TCODE_READ_BLOCK_REQUEST: {
                payload.resize(r.length);
                UInt32 size = r.length;
                const IOReturn status = mModel.ReadBlock(r.offset, payload.data(), size);
                payload.resize(size);
                return Rcode(status);
            }
        }
        return RCODE_TYPE_ERROR;
    }

    // poll() is not emulated: a byte on the pty makes the file readable.
    void Queue(std::vector<UInt8> event) {
        mEvents.push_back(std::move(event));
        const char byte = 1;
        [[maybe_unused]] ssize_t n = write(devFd, &byte, 1);
    }

    std::mutex mMutex;
    // The Ky's own time is real time here, as the pauses of kyfw are; it
    // erases at once.
    kysim::KyUnitModel mModel{ky::SystemClock(), {}, Instant()};
    static kysim::UnitBehaviour Instant() {
        kysim::UnitBehaviour b;
        b.eraseMicros = 0;
        return b;
    }
    std::deque<std::vector<UInt8>> mEvents;
    std::vector<std::thread> mTimers;
    UInt32 mGeneration = 1, mShownBefore = 1;
    Steady::time_point mShowAt{}, mBackAt{}, mGoneAt = Steady::time_point::max();
    UInt32 mBlocks = 0;
    bool mResetDone = false, mLeft = false;
    unsigned mResets = 0;
};

inline gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
    return static_cast<EmulatedNode*>(node)->Ioctl(client);
}

inline gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
    return static_cast<EmulatedNode*>(node)->Read(client);
}

// A testbed with the emulated Ky attached; its handlers run on umockdev's
// own worker thread.
class EmulatedKyBed {
public:
    EmulatedKyBed() {
        mTestbed = umockdev_testbed_new();
        umockdev_testbed_add_from_string(mTestbed, kSysfs, nullptr);
        mHandler = umockdev_ioctl_base_new();
        g_signal_connect(mHandler, "handle-ioctl", G_CALLBACK(OnIoctl), &node);
        g_signal_connect(mHandler, "handle-read", G_CALLBACK(OnRead), &node);
        umockdev_testbed_attach_ioctl(mTestbed, "/dev/fw1", mHandler, nullptr);
        node.devFd = umockdev_testbed_get_dev_fd(mTestbed, "/dev/fw1");
        char* root = umockdev_testbed_get_root_dir(mTestbed);
        rootDir = root;
        g_free(root);
    }
    ~EmulatedKyBed() {
        g_object_unref(mHandler);
        g_object_unref(mTestbed);
    }
    EmulatedKyBed(const EmulatedKyBed&) = delete;
    EmulatedKyBed& operator=(const EmulatedKyBed&) = delete;

    EmulatedNode node;
    std::string rootDir;

private:
    UMockdevTestbed* mTestbed = nullptr;
    UMockdevIoctlBase* mHandler = nullptr;
};

}  // namespace kytest
