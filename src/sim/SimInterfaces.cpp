// What a program holds of a node on the simulated bus: the service that
// discovery finds for each of its units, the plug-in made from it and the
// device interface whose requests become the bus's transactions.
#include "sim/SimBus.h"

#include "firewire/FWLib_Device.h"

namespace kysim {

namespace {

class SimDeviceInterface final : public FWLib::DeviceInterface {
public:
    SimDeviceInterface(std::shared_ptr<SimBus> bus, UInt64 guid, UInt32 handle)
        : mBus(std::move(bus)), mGuid(guid), mHandle(handle), mKnownGeneration(mBus->Generation()) {
        mBus->CountInterface(+1);
    }
    ~SimDeviceInterface() override {
        mHeld.reset();
        mBus->CountInterface(-1);
    }

    UInt32 GetDevice() const override { return mHandle; }
    // Opens pair with closes: the unit stays open, and its hold taken, until
    // the last Close.
    IOReturn Open() override {
        mBus->CountOpen();
        IOReturn status = mBus->NodeStatus(mGuid, &NodeFaults::openStatus);
        if (status != kIOReturnSuccess) return status;
        if (mOpenCount == 0) {
            if (const NodeHold hold = mBus->HoldOf(mGuid); hold) status = hold(mHeld);
            if (status != kIOReturnSuccess) return status;
        }
        ++mOpenCount;
        return kIOReturnSuccess;
    }
    void Close() override {
        mBus->CountClose();
        if (mOpenCount > 0 && --mOpenCount == 0) mHeld.reset();
    }

    IOReturn Read(UInt32 device, const FWAddressStruct& addr, void* buf, UInt32& size,
                  bool failOnReset, UInt32 generation) override {
        return Send(device, TxType::BlockRead, addr, static_cast<UInt8*>(buf), nullptr, &size,
                    failOnReset, generation);
    }
    IOReturn Write(UInt32 device, const FWAddressStruct& addr, const void* buf, UInt32& size,
                   bool failOnReset, UInt32 generation) override {
        return Send(device, TxType::BlockWrite, addr, nullptr, static_cast<const UInt8*>(buf),
                    &size, failOnReset, generation);
    }
    IOReturn ReadQuadlet(UInt32 device, const FWAddressStruct& addr, FWLib::Quadlet& value,
                         bool failOnReset, UInt32 generation) override {
        UInt32 size = 4;
        return Send(device, TxType::QuadletRead, addr, value.data(), nullptr, &size, failOnReset,
                    generation);
    }
    IOReturn WriteQuadlet(UInt32 device, const FWAddressStruct& addr, const FWLib::Quadlet& value,
                          bool failOnReset, UInt32 generation) override {
        UInt32 size = 4;
        return Send(device, TxType::QuadletWrite, addr, nullptr, value.data(), &size, failOnReset,
                    generation);
    }
    IOReturn GetBusGeneration(UInt32& generation) override {
        IOReturn status = mBus->NodeStatus(mGuid, &NodeFaults::generationStatus);
        if (status != kIOReturnSuccess) return status;
        generation = mKnownGeneration = mBus->Generation();
        return kIOReturnSuccess;
    }

private:
    IOReturn Send(UInt32 device, TxType type, const FWAddressStruct& addr, UInt8* in,
                  const UInt8* out, UInt32* size, bool failOnReset, UInt32 generation) {
        if (device != 0 && device != mHandle) return kIOReturnBadArgument;
        if (mOpenCount == 0) return kIOReturnNotOpen;  // as the platform refuses it
        auto send = [&](UInt32 gen) {
            return mBus->Transact({mGuid, device == 0, type, addr, in, out, size, gen});
        };
        auto refresh = [&](UInt32& fresh) {
            fresh = mKnownGeneration = mBus->Generation();
            return kIOReturnSuccess;
        };
        return FWLib::SendAcrossBusReset(failOnReset, failOnReset ? generation : mKnownGeneration,
                                         send, refresh);
    }

    std::shared_ptr<SimBus> mBus;
    UInt64 mGuid;
    UInt32 mHandle;
    UInt32 mKnownGeneration;
    unsigned mOpenCount = 0;
    std::shared_ptr<void> mHeld;
};

class SimPlugIn final : public FWLib::PlugInInterface {
public:
    SimPlugIn(std::shared_ptr<SimBus> bus, UInt64 guid, UInt32 handle)
        : mBus(std::move(bus)), mGuid(guid), mHandle(handle) {}

    IOReturn QueryInterface(std::unique_ptr<FWLib::DeviceInterface>& device) override {
        if (mBus->NodeFlag(mGuid, &NodeFaults::queryInterfaceFails)) return kIOReturnUnsupported;
        device = std::make_unique<SimDeviceInterface>(mBus, mGuid, mHandle);
        return kIOReturnSuccess;
    }

private:
    std::shared_ptr<SimBus> mBus;
    UInt64 mGuid;
    UInt32 mHandle;
};

class SimService final : public FWLib::Service {
public:
    SimService(std::shared_ptr<SimBus> bus, FWLib::UnitInfo info, UInt32 handle)
        : mBus(std::move(bus)), mInfo(std::move(info)), mHandle(handle) {}

    const FWLib::UnitInfo& Info() const override { return mInfo; }
    IOReturn CreatePlugInInterface(std::unique_ptr<FWLib::PlugInInterface>& plugIn) const override {
        if (mBus->NodeFlag(mInfo.guid, &NodeFaults::plugInFails)) return kIOReturnNoResources;
        plugIn = std::make_unique<SimPlugIn>(mBus, mInfo.guid, mHandle);
        return kIOReturnSuccess;
    }

private:
    std::shared_ptr<SimBus> mBus;
    FWLib::UnitInfo mInfo;
    UInt32 mHandle;
};

}  // namespace

std::shared_ptr<FWLib::Service> MakeSimService(std::shared_ptr<SimBus> bus, FWLib::UnitInfo info,
                                               UInt32 handle) {
    return std::make_shared<SimService>(std::move(bus), std::move(info), handle);
}

}  // namespace kysim
