// FWLib::Device over a scripted backend: what it hands to the device
// interface, in what order, and what it writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firewire/FWLib_Device.h"
#include "support/StreamCapture.h"

namespace {

using FWLib::Quadlet;

struct Script {
    std::vector<std::string> events;
    IOReturn plugInStatus = kIOReturnSuccess;
    IOReturn queryStatus = kIOReturnSuccess;
    IOReturn openStatus = kIOReturnSuccess;
    UInt32 readDelivers = 8;
    UInt32 lastDevice = 99;
    FWAddressStruct lastAddr;
    Quadlet lastQuadlet{};
};

class ScriptedInterface final : public FWLib::DeviceInterface {
public:
    explicit ScriptedInterface(Script& s) : s(s) {}
    ~ScriptedInterface() override { s.events.push_back("release device interface"); }
    UInt32 GetDevice() const override { return 0x51; }
    IOReturn Open() override {
        s.events.push_back("open");
        return s.openStatus;
    }
    void Close() override { s.events.push_back("close"); }
    IOReturn Read(UInt32 d, const FWAddressStruct& a, void*, UInt32& size, bool, UInt32) override {
        Note(d, a);
        size = std::min(size, s.readDelivers);
        return kIOReturnSuccess;
    }
    IOReturn Write(UInt32 d, const FWAddressStruct& a, const void*, UInt32&, bool,
                   UInt32) override {
        Note(d, a);
        return kIOReturnSuccess;
    }
    IOReturn ReadQuadlet(UInt32 d, const FWAddressStruct& a, Quadlet& v, bool, UInt32) override {
        Note(d, a);
        v = {0x12, 0x34, 0x56, 0x78};
        return kIOReturnSuccess;
    }
    IOReturn WriteQuadlet(UInt32 d, const FWAddressStruct& a, const Quadlet& v, bool,
                          UInt32) override {
        Note(d, a);
        s.lastQuadlet = v;
        return kIOReturnSuccess;
    }
    IOReturn GetBusGeneration(UInt32& g) override {
        g = 7;
        return kIOReturnSuccess;
    }

private:
    void Note(UInt32 d, const FWAddressStruct& a) {
        s.lastDevice = d;
        s.lastAddr = a;
    }
    Script& s;
};

class ScriptedPlugIn final : public FWLib::PlugInInterface {
public:
    explicit ScriptedPlugIn(Script& s) : s(s) {}
    ~ScriptedPlugIn() override { s.events.push_back("destroy plug-in"); }
    IOReturn QueryInterface(std::unique_ptr<FWLib::DeviceInterface>& d) override {
        if (s.queryStatus != kIOReturnSuccess) return s.queryStatus;
        d = std::make_unique<ScriptedInterface>(s);
        return kIOReturnSuccess;
    }

private:
    Script& s;
};

class ScriptedService final : public FWLib::Service {
public:
    explicit ScriptedService(Script& s) : s(s) {}
    const FWLib::UnitInfo& Info() const override { return info; }
    IOReturn CreatePlugInInterface(std::unique_ptr<FWLib::PlugInInterface>& p) const override {
        if (s.plugInStatus != kIOReturnSuccess) return s.plugInStatus;
        p = std::make_unique<ScriptedPlugIn>(s);
        return kIOReturnSuccess;
    }

private:
    Script& s;
    FWLib::UnitInfo info;
};

class DeviceTest : public ::testing::Test {
protected:
    FWLib::io_service_t Service() { return std::make_shared<ScriptedService>(script); }
    Script script;
};

TEST_F(DeviceTest, RefusedDeviceInterfaceNamesTheSourceLine) {
    script.queryStatus = kIOReturnUnsupported;
    kytest::StreamCapture io;
    EXPECT_THROW(FWLib::Device device(Service()), std::exception);
    EXPECT_EQ(io.Err(), "FWLib_Device:109 CFPlugInInterface->QueryInterface returned error\n");
    // The plug-in made for the failed attempt is not leaked.
    EXPECT_EQ(script.events, std::vector<std::string>{"destroy plug-in"});
}

TEST_F(DeviceTest, OpenAndCloseTraceEveryTimeAndDestructionDoesNotClose) {
    script.openStatus = kIOReturnExclusiveAccess;
    kytest::StreamCapture io;
    {
        FWLib::Device device(Service());
        EXPECT_EQ(device.Open(), kIOReturnExclusiveAccess);
        device.Close();
        device.Close();
    }
    EXPECT_EQ(io.Out(), "FWDL::Open\nFWDL::Close\nFWDL::Close\n");
    EXPECT_EQ(script.events,
              (std::vector<std::string>{"open", "close", "close", "release device interface",
                                        "destroy plug-in"}));
}

TEST_F(DeviceTest, QuadletsAreNumbersHereAndBigEndianOnTheBus) {
    FWLib::Device device(Service());
    FWAddressStruct addr(0xFFFF, 0xF0430000);
    addr.nodeID = 0xFFC3;
    ASSERT_EQ(device.WriteQuadlet(addr, 2, false, false, 0), kIOReturnSuccess);
    EXPECT_EQ(script.lastQuadlet, (Quadlet{0, 0, 0, 2}));
    UInt32 value = 0;
    ASSERT_EQ(device.ReadQuadlet(addr, value, false, false, 0), kIOReturnSuccess);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(script.lastDevice, 0x51u);  // unit-relative: the unit's own handle
}

TEST_F(DeviceTest, AbsoluteAddressingPassesHandleZeroAndTheNode) {
    FWLib::Device device(Service());
    FWAddressStruct addr(0xFFFF, 0xF0000400);
    addr.nodeID = 0xFFC2;
    UInt32 size = 8;
    char buf[8];
    device.Read(addr, buf, size, true, false, 3);
    EXPECT_EQ(script.lastDevice, 0u);
    EXPECT_EQ(script.lastAddr.nodeID, 0xFFC2);
}

TEST(IOReturnNames, KnownAndUnknownCodes) {
    EXPECT_EQ(IOReturnName(kIOReturnBusy), "busy");
    EXPECT_EQ(IOReturnName(kIOFireWireBusReset), "bus reset");
    EXPECT_EQ(IOReturnName(0x1234), "0x00001234");
}

}  // namespace
