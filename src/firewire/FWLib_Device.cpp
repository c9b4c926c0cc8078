#include "firewire/FWLib_Device.h"

#include <exception>

namespace FWLib {

namespace {
// Where the device-interface failure is reported from; logs and support
// scripts match on this position.
constexpr unsigned kQueryInterfaceLine = 109;
}  // namespace

Quadlet ToBusOrder(UInt32 value) {
    return {static_cast<UInt8>(value >> 24), static_cast<UInt8>(value >> 16),
            static_cast<UInt8>(value >> 8), static_cast<UInt8>(value)};
}

UInt32 FromBusOrder(const Quadlet& b) {
    return (UInt32{b[0]} << 24) | (UInt32{b[1]} << 16) | (UInt32{b[2]} << 8) | UInt32{b[3]};
}

Device::Device(const io_service_t& service, ky::Trace trace) : mTrace(trace) {
    IOReturn status =
        service ? service->CreatePlugInInterface(mIOCFPlugInInterface) : kIOReturnNoDevice;
    if (status != kIOReturnSuccess || !mIOCFPlugInInterface) {
        mTrace << "Couldn't create plug in interface\n";
        throw DeviceError(status != kIOReturnSuccess ? status : kIOReturnError);
    }
    status = mIOCFPlugInInterface->QueryInterface(mDevice);
    if (status != kIOReturnSuccess || !mDevice) {
        mTrace << "FWLib_Device"
               << ":" << kQueryInterfaceLine << " "
               << "CFPlugInInterface->QueryInterface returned error\n";
        throw DeviceError(status != kIOReturnSuccess ? status : kIOReturnError);
    }
}

Device::~Device() {
    // The device interface goes first: it was obtained from the plug-in.
    mDevice.reset();
    mIOCFPlugInInterface.reset();
}

IOReturn Device::Open() {
    mTrace << "FWDL::Open\n";
    return mDevice->Open();
}

void Device::Close() {
    mTrace << "FWDL::Close\n";
    mDevice->Close();
}

IOReturn Device::Read(const FWAddressStruct& addr, void* buf, UInt32& size, bool abs,
                      bool failOnReset, UInt32 generation) const {
    return mDevice->Read(Handle(abs), addr, buf, size, failOnReset, generation);
}

IOReturn Device::Write(const FWAddressStruct& addr, const void* buf, UInt32& size, bool abs,
                       bool failOnReset, UInt32 generation) const {
    return mDevice->Write(Handle(abs), addr, buf, size, failOnReset, generation);
}

IOReturn Device::ReadQuadlet(const FWAddressStruct& addr, UInt32& value, bool abs, bool failOnReset,
                             UInt32 generation) const {
    Quadlet bytes{};
    IOReturn status = mDevice->ReadQuadlet(Handle(abs), addr, bytes, failOnReset, generation);
    if (status == kIOReturnSuccess) value = FromBusOrder(bytes);
    return status;
}

IOReturn Device::WriteQuadlet(const FWAddressStruct& addr, UInt32 val, bool abs, bool failOnReset,
                              UInt32 generation) {
    return mDevice->WriteQuadlet(Handle(abs), addr, ToBusOrder(val), failOnReset, generation);
}

IOReturn Device::GetBusGeneration(UInt32& generation) const {
    return mDevice->GetBusGeneration(generation);
}

}  // namespace FWLib
