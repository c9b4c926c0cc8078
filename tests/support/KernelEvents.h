#pragma once

// Events as the kernel's firewire core queues them on /dev/fwN: a response
// is the whole struct (24 bytes on x86-64) followed by the payload, which
// starts at the data member's offset; for a payload of 4 bytes or less the
// kernel also keeps its own copy inside the struct's tail and repeats the
// payload after it. A bus reset is the whole struct, padding included.

#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "firewire/FWTypes.h"

namespace kytest {

inline std::vector<UInt8> ResponseEvent(UInt64 closure, UInt32 rcode,
                                        const std::vector<UInt8>& payload) {
    const std::size_t length = rcode == RCODE_COMPLETE ? payload.size() : 0;
    constexpr std::size_t kData = offsetof(fw_cdev_event_response, data);
    fw_cdev_event_response r{};
    r.closure = closure;
    r.type = FW_CDEV_EVENT_RESPONSE;
    r.rcode = rcode;
    r.length = static_cast<UInt32>(length);
    const auto* head = reinterpret_cast<const UInt8*>(&r);
    std::vector<UInt8> e(head, head + kData);
    e.insert(e.end(), payload.begin(), payload.begin() + static_cast<long>(length));
    if (length > sizeof r - kData) {
        e.resize(sizeof r + length);
    } else {
        e.resize(sizeof r);  // the kernel's own copy lies inside the struct; the payload follows
        e.insert(e.end(), payload.begin(), payload.begin() + static_cast<long>(length));
    }
    return e;
}

inline std::vector<UInt8> BusResetEvent(UInt32 generation, UInt32 nodeId) {
    std::vector<UInt8> e(sizeof(fw_cdev_event_bus_reset));
    fw_cdev_event_bus_reset r{};
    r.type = FW_CDEV_EVENT_BUS_RESET;
    r.node_id = nodeId;
    r.local_node_id = 0xFFC0;
    r.generation = generation;
    std::memcpy(e.data(), &r, e.size());
    return e;
}

}  // namespace kytest
