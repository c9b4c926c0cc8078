#pragma once

// An emulated Ky behind umockdev: a sysfs tree with a local node and the
// Ky's node and unit, and a /dev/fw1 whose ioctls and reads are answered as
// the kernel's firewire character device answers them, backed by the model
// of the Ky's update unit. Used by the end-to-end tests and a benchmark.

#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <umockdev.h>

#include <cstring>
#include <string>

#include "support/KernelNode.h"

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

// The kernel's side of /dev/fw1 for one Ky, reached through umockdev: its
// ioctls and reads resolved in the calling process and answered by the node.
class EmulatedNode : public KernelNode {
public:
    int devFd = -1;

    EmulatedNode() {
        // poll() is not emulated: a byte on the pty makes the file readable.
        onEvent = [this] {
            const char byte = 1;
            [[maybe_unused]] ssize_t n = write(devFd, &byte, 1);
        };
    }

    gboolean Ioctl(UMockdevIoctlClient* client) {
        if (Gone()) return umockdev_ioctl_client_complete(client, -1, ENODEV), TRUE;
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        // The caller's memory at `offset` in `in`, `size` bytes of it.
        const auto at = [](UMockdevIoctlData* in, std::size_t offset, std::size_t size) {
            return umockdev_ioctl_data_resolve(in, offset, size, nullptr);
        };
        if (request == FW_CDEV_IOC_GET_INFO) {
            auto* s = at(arg, 0, sizeof(fw_cdev_get_info));
            auto* info = reinterpret_cast<fw_cdev_get_info*>(s->data);
            if (info->bus_reset)
                GetInfo(reinterpret_cast<fw_cdev_event_bus_reset*>(
                    at(s, offsetof(fw_cdev_get_info, bus_reset), sizeof(fw_cdev_event_bus_reset))
                        ->data));
            info->card = 0;
        } else if (request == FW_CDEV_IOC_SEND_REQUEST) {
            auto* s = at(arg, 0, sizeof(fw_cdev_send_request));
            fw_cdev_send_request r = *reinterpret_cast<fw_cdev_send_request*>(s->data);
            if (r.data && r.length)
                r.data = reinterpret_cast<UInt64>(
                    at(s, offsetof(fw_cdev_send_request, data), r.length)->data);
            Request(r);
        } else {
            return umockdev_ioctl_client_complete(client, -1, ENOTTY), TRUE;
        }
        return umockdev_ioctl_client_complete(client, 0, 0), TRUE;
    }

    gboolean Read(UMockdevIoctlClient* client) {
        if (Gone()) return umockdev_ioctl_client_complete(client, -1, ENODEV), TRUE;
        const auto event = NextEvent();  // one event per read
        if (!event) return umockdev_ioctl_client_complete(client, -1, EAGAIN), TRUE;
        UMockdevIoctlData* buf = umockdev_ioctl_client_get_arg(client);
        const size_t n = std::min(event->size(), static_cast<size_t>(buf->data_len));
        std::memcpy(buf->data, event->data(), n);
        umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
        return TRUE;
    }
};

// A testbed with the emulated Ky attached; its handlers run on umockdev's
// own worker thread.
class EmulatedKyBed {
public:
    EmulatedKyBed() {
        mTestbed = umockdev_testbed_new();
        umockdev_testbed_add_from_string(mTestbed, kSysfs, nullptr);
        mHandler = umockdev_ioctl_base_new();
        using Handler = gboolean (*)(UMockdevIoctlBase*, UMockdevIoctlClient*, EmulatedNode*);
        const Handler ioctl = [](auto, auto c, auto n) { return n->Ioctl(c); },
                      read = [](auto, auto c, auto n) { return n->Read(c); };
        g_signal_connect(mHandler, "handle-ioctl", G_CALLBACK(ioctl), &node);
        g_signal_connect(mHandler, "handle-read", G_CALLBACK(read), &node);
        umockdev_testbed_attach_ioctl(mTestbed, "/dev/fw1", mHandler, nullptr);
        node.devFd = umockdev_testbed_get_dev_fd(mTestbed, "/dev/fw1");
        char* root = umockdev_testbed_get_root_dir(mTestbed);
        rootDir = root;
        g_free(root);
    }
    ~EmulatedKyBed() { g_object_unref(mHandler), g_object_unref(mTestbed); }
    EmulatedKyBed(const EmulatedKyBed&) = delete;
    EmulatedKyBed& operator=(const EmulatedKyBed&) = delete;

    // The Ky switched off: its node and unit leave sysfs and /dev.
    void SwitchOff() {
        umockdev_testbed_remove_device(mTestbed, "/sys/devices/pci0000:00/0000:00:1e.0/fw1");
    }
    // Switched on again, as the kernel may number it: /dev/fw2.
    void SwitchOnAsFw2() {
        std::string again = std::string(kSysfs).substr(std::string(kSysfs).find("\n\n") + 2);
        for (auto at = again.find("fw1"); at != std::string::npos; at = again.find("fw1", at))
            again.replace(at, 3, "fw2");
        // Its ioctl handler first: a program that finds the node at once must
        // not meet a device file that nothing answers yet.
        umockdev_testbed_attach_ioctl(mTestbed, "/dev/fw2", mHandler, nullptr);
        umockdev_testbed_add_from_string(
            mTestbed, again.replace(again.find("244:1"), 5, "244:2").c_str(), nullptr);
        node.devFd = umockdev_testbed_get_dev_fd(mTestbed, "/dev/fw2");
    }

    EmulatedNode node;
    std::string rootDir;

private:
    UMockdevTestbed* mTestbed = nullptr;
    UMockdevIoctlBase* mHandler = nullptr;
};

}  // namespace kytest
