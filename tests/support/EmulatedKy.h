#pragma once

// An emulated Ky behind umockdev: a sysfs tree with a local node and the
// Ky's node and unit, and a /dev/fw1 whose ioctls and reads are answered as
// the kernel's firewire character device answers them, backed by the model
// of the Ky's update unit. Used by the end-to-end tests and a benchmark.

#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sim/KyUnitModel.h"

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

// The kernel's side of /dev/fw1 for one Ky.
class EmulatedNode {
public:
    UInt32 failAtBlock = 0;  // the n-th block write is answered with failRcode
    UInt32 failRcode = RCODE_BUSY;
    UInt32 resetAtBlock = 0;  // the bus resets just before the n-th block write
    UInt32 vanishAtBlock = 0;
    int devFd = -1;

    kysim::KyUnitModel& Model() { return mModel; }
    unsigned Resets() const { return mResets; }
    void RestartCounting() {
        std::lock_guard lock(mMutex);
        mBlocks = 0;
    }

    gboolean Ioctl(UMockdevIoctlClient* client) {
        std::lock_guard lock(mMutex);
        if (mGone) return umockdev_ioctl_client_complete(client, -1, ENODEV), TRUE;
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
        if (mGone) return umockdev_ioctl_client_complete(client, -1, ENODEV), TRUE;
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
            reset->generation = mGeneration;
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
        if (request.tcode == TCODE_WRITE_BLOCK_REQUEST && ++mBlocks == vanishAtBlock) {
            mGone = true;  // the node leaves the bus; the file answers ENODEV from now on
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        std::vector<UInt8> payload;
        const UInt32 rcode = Transact(request, out, payload);
        Respond(request.closure, rcode, payload);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    UInt32 Transact(const fw_cdev_send_request& r, const std::vector<UInt8>& out,
                    std::vector<UInt8>& payload) {
        const bool block = r.tcode == TCODE_WRITE_BLOCK_REQUEST;
        if (block && mBlocks == resetAtBlock && !mResetDone) {
            mResetDone = true;
            ++mGeneration;
            ++mResets;
            QueueBusReset();
        }
        if (r.generation != mGeneration) return RCODE_GENERATION;
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

    void Respond(UInt64 closure, UInt32 rcode, const std::vector<UInt8>& payload) {
        const size_t header = offsetof(fw_cdev_event_response, data);
        std::vector<UInt8> e(header + (rcode == RCODE_COMPLETE ? payload.size() : 0));
        fw_cdev_event_response r{};
        r.closure = closure;
        r.type = FW_CDEV_EVENT_RESPONSE;
        r.rcode = rcode;
        r.length = static_cast<UInt32>(e.size() - header);
        std::memcpy(e.data(), &r, header);
        if (r.length) std::memcpy(e.data() + header, payload.data(), r.length);
        Queue(std::move(e));
    }

    void QueueBusReset() {
        std::vector<UInt8> e(offsetof(fw_cdev_event_bus_reset, generation) + 4);
        fw_cdev_event_bus_reset r{};
        r.type = FW_CDEV_EVENT_BUS_RESET;
        r.node_id = 0xFFC1;
        r.generation = mGeneration;
        std::memcpy(e.data(), &r, e.size());
        Queue(std::move(e));
    }

    // poll() is not emulated: a byte on the pty makes the file readable.
    void Queue(std::vector<UInt8> event) {
        mEvents.push_back(std::move(event));
        const char byte = 1;
        [[maybe_unused]] ssize_t n = write(devFd, &byte, 1);
    }

    std::mutex mMutex;
    ky::FakeClock mClock;
    kysim::KyUnitModel mModel{mClock};
    std::deque<std::vector<UInt8>> mEvents;
    UInt32 mGeneration = 1;
    UInt32 mBlocks = 0;
    bool mResetDone = false;
    bool mGone = false;
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
