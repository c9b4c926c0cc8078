#pragma once

// The small platform layer under FWLib::Device: what a FireWire stack must
// offer the updater. One backend talks to the kernel's firewire character
// devices, the other to the simulated Ky. Both hand out the same objects:
//
//   Bus            finds units by their unit-directory values
//   Service        one unit found on the bus (a handle that stays valid
//                  while the object lives, even if the unit leaves the bus)
//   PlugInInterface  the backend's per-unit plug-in; gives a DeviceInterface
//   DeviceInterface  transactions to the unit's node, open/close, generation

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "firewire/FWTypes.h"
#include "firewire/IOReturn.h"

namespace FWLib {

// A quadlet as it travels on the bus: most significant byte first.
using Quadlet = std::array<UInt8, 4>;

class DeviceInterface {
public:
    virtual ~DeviceInterface() = default;

    // The handle for unit-relative addressing; never 0 (0 means absolute).
    virtual UInt32 GetDevice() const = 0;
    virtual IOReturn Open() = 0;
    virtual void Close() = 0;
    // Block transfers: `size` in is the byte count asked for, out the count
    // transferred. `device` is GetDevice() or 0 for absolute addressing,
    // where addr.nodeID names the node.
    virtual IOReturn Read(UInt32 device, const FWAddressStruct& addr, void* buf, UInt32& size,
                          bool failOnReset, UInt32 generation) = 0;
    virtual IOReturn Write(UInt32 device, const FWAddressStruct& addr, const void* buf,
                           UInt32& size, bool failOnReset, UInt32 generation) = 0;
    virtual IOReturn ReadQuadlet(UInt32 device, const FWAddressStruct& addr, Quadlet& value,
                                 bool failOnReset, UInt32 generation) = 0;
    virtual IOReturn WriteQuadlet(UInt32 device, const FWAddressStruct& addr, const Quadlet& value,
                                  bool failOnReset, UInt32 generation) = 0;
    virtual IOReturn GetBusGeneration(UInt32& generation) = 0;
};

class PlugInInterface {
public:
    virtual ~PlugInInterface() = default;
    virtual IOReturn QueryInterface(std::unique_ptr<DeviceInterface>& device) = 0;
};

// What discovery knows of a unit without talking to it.
struct UnitInfo {
    std::string name;        // "fw1.0" on the real bus, "sim0.0" on the simulated one
    std::string deviceNode;  // "/dev/fw1", or the simulated node's name
    UInt64 guid = 0;
    UInt32 unitSpecID = 0;
    UInt32 unitSWVersion = 0;
    std::string vendor;
    std::string model;
    // The file an updater's hold locks (flock), to name the program that
    // holds the Ky; empty when there is none.
    std::string lockFile;
    // `deviceNode` is a file on this machine that another program could
    // hold open. Not for a node of the simulated bus without one, nor for
    // a Ky answered from a recording made elsewhere.
    bool deviceFileHere = true;
};

// "0x0000d0a004120187": a GUID as the programs and the recordings show it.
std::string GuidText(UInt64 guid);

class Service {
public:
    virtual ~Service() = default;
    virtual const UnitInfo& Info() const = 0;
    virtual IOReturn CreatePlugInInterface(std::unique_ptr<PlugInInterface>& plugIn) const = 0;
};

// The platform handle of a unit; empty means none.
using io_service_t = std::shared_ptr<const Service>;

// The unit-directory values a unit must carry to match.
struct MatchingDictionary {
    UInt32 unitSpecID = 0;
    UInt32 unitSWVersion = 0;
};

// What a look at the bus finds besides the units asked for: enough to tell
// a user why no Ky was found.
struct BusSurvey {
    bool controller = false;      // this machine has a FireWire controller
    std::vector<UnitInfo> nodes;  // every other node ("fw1": GUID, device file, vendor, model)
};

class Bus {
public:
    virtual ~Bus() = default;
    // Every matching unit in a stable order (by node, then by unit). Fails
    // only when the bus cannot be looked at; no unit is not a failure.
    virtual IOReturn GetMatchingServices(const MatchingDictionary& match,
                                         std::vector<io_service_t>& services) = 0;
    virtual BusSurvey Survey() = 0;
};

// The first matching unit, or an empty handle when there is none.
IOReturn GetMatchingService(Bus& bus, const MatchingDictionary& match, io_service_t& service);

// Sends a request stamped with `generation`. When the bus was reset since
// and the caller did not ask to fail on a reset, the request is sent once
// more with the fresh generation that `refresh` reads.
template <class Send, class Refresh>
IOReturn SendAcrossBusReset(bool failOnReset, UInt32 generation, Send&& send, Refresh&& refresh) {
    IOReturn status = send(generation);
    if (status != kIOFireWireBusReset || failOnReset) return status;
    UInt32 fresh = 0;
    if (IOReturn r = refresh(fresh); r != kIOReturnSuccess) return r;
    return send(fresh);
}

}  // namespace FWLib
