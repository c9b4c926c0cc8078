#pragma once

#include <exception>
#include <memory>

#include "base/Trace.h"
#include "firewire/FWPlatform.h"

namespace FWLib {

// What Device's constructor throws: a plain exception that also keeps the
// backend's status, so that a caller can tell a unit this user may not
// open (kIOReturnNotPrivileged) from one that is gone.
struct DeviceError : std::exception {
    explicit DeviceError(IOReturn s) : status(s) {}
    IOReturn status;
};

// The one object through which the updater talks to the unit it found:
// block and quadlet transactions at 48-bit addresses in the unit's node,
// open and close, and the bus generation. Each operation is one call of the
// backend's device interface; results come back unchanged.
class Device {
public:
    // Obtains the unit's device interface; writes the cause to `trace` and
    // throws DeviceError when the backend cannot give one. Opening and
    // closing are traced there too.
    explicit Device(const io_service_t& service, ky::Trace trace = {});
    virtual ~Device();

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    IOReturn Open();
    void Close();
    IOReturn Read(const FWAddressStruct& addr, void* buf, UInt32& size, bool abs, bool failOnReset,
                  UInt32 generation) const;
    IOReturn Write(const FWAddressStruct& addr, const void* buf, UInt32& size, bool abs,
                   bool failOnReset, UInt32 generation) const;
    // Quadlet values are numbers here; the most significant byte goes first
    // on the bus.
    IOReturn ReadQuadlet(const FWAddressStruct& addr, UInt32& value, bool abs, bool failOnReset,
                         UInt32 generation) const;
    IOReturn WriteQuadlet(const FWAddressStruct& addr, UInt32 val, bool abs, bool failOnReset,
                          UInt32 generation);
    IOReturn GetBusGeneration(UInt32& generation) const;

protected:
    const ky::Trace& Traced() const { return mTrace; }

    std::unique_ptr<PlugInInterface> mIOCFPlugInInterface;
    std::unique_ptr<DeviceInterface> mDevice;

private:
    UInt32 Handle(bool abs) const { return abs ? 0 : mDevice->GetDevice(); }

    ky::Trace mTrace;
};

Quadlet ToBusOrder(UInt32 value);
UInt32 FromBusOrder(const Quadlet& bytes);

}  // namespace FWLib
