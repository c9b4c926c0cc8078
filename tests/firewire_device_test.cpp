// FWLib::Device over mocked backend interfaces: what it hands to the device
// interface, in what order, and what it writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "firewire/FWLib_Device.h"
#include "support/StreamCapture.h"

namespace {

using FWLib::Quadlet;
using ::testing::_;
using ::testing::DoAll;
using ::testing::Field;
using ::testing::InSequence;
using ::testing::Return;
using ::testing::SaveArg;
using ::testing::SetArgReferee;

class MockInterface : public FWLib::DeviceInterface {
public:
    MOCK_METHOD(UInt32, GetDevice, (), (const, override));
    MOCK_METHOD(IOReturn, Open, (), (override));
    MOCK_METHOD(void, Close, (), (override));
    MOCK_METHOD(IOReturn, Read, (UInt32, const FWAddressStruct&, void*, UInt32&, bool, UInt32),
                (override));
    MOCK_METHOD(IOReturn, Write,
                (UInt32, const FWAddressStruct&, const void*, UInt32&, bool, UInt32), (override));
    MOCK_METHOD(IOReturn, ReadQuadlet, (UInt32, const FWAddressStruct&, Quadlet&, bool, UInt32),
                (override));
    MOCK_METHOD(IOReturn, WriteQuadlet,
                (UInt32, const FWAddressStruct&, const Quadlet&, bool, UInt32), (override));
    MOCK_METHOD(IOReturn, GetBusGeneration, (UInt32&), (override));
    MOCK_METHOD(void, Released, ());
    ~MockInterface() override { Released(); }
};

class MockPlugIn : public FWLib::PlugInInterface {
public:
    MOCK_METHOD(IOReturn, QueryInterface, (std::unique_ptr<FWLib::DeviceInterface>&), (override));
    MOCK_METHOD(void, Destroyed, ());
    ~MockPlugIn() override { Destroyed(); }
};

// A service whose plug-in hands out `device` (or refuses with `query`).
class Service final : public FWLib::Service {
public:
    const FWLib::UnitInfo& Info() const override { return info; }
    IOReturn CreatePlugInInterface(std::unique_ptr<FWLib::PlugInInterface>& p) const override {
        p = std::move(plugIn);
        return kIOReturnSuccess;
    }
    FWLib::UnitInfo info;
    mutable std::unique_ptr<MockPlugIn> plugIn = std::make_unique<MockPlugIn>();
};

class DeviceTest : public ::testing::Test {
protected:
    // The plug-in gives `device` away; both report their end.
    std::shared_ptr<Service> Backend(IOReturn query = kIOReturnSuccess) {
        auto service = std::make_shared<Service>();
        EXPECT_CALL(*service->plugIn, QueryInterface(_))
            .WillOnce([this, query](std::unique_ptr<FWLib::DeviceInterface>& d) {
                if (query == kIOReturnSuccess) d = std::move(device);
                return query;
            });
        return service;
    }
    std::unique_ptr<MockInterface> device = std::make_unique<MockInterface>();
    MockInterface& mock = *device;
};

TEST_F(DeviceTest, QuadletsAreBigEndianOnTheBusAndOnlyAbsoluteAddressingPassesHandleZero) {
    auto service = Backend();
    EXPECT_CALL(*service->plugIn, Destroyed());
    EXPECT_CALL(mock, Released());
    EXPECT_CALL(mock, GetDevice()).WillRepeatedly(Return(0x51));
    const auto node = Field(&FWAddressStruct::nodeID, 0xFFC3);
    EXPECT_CALL(mock, WriteQuadlet(0x51, node, Quadlet{0, 0, 0, 2}, false, 0))
        .WillOnce(Return(kIOReturnSuccess));
    EXPECT_CALL(mock, ReadQuadlet(0x51, node, _, false, 0))
        .WillOnce(
            DoAll(SetArgReferee<2>(Quadlet{0x12, 0x34, 0x56, 0x78}), Return(kIOReturnSuccess)));
    EXPECT_CALL(mock, Read(0u, node, _, _, false, 3)).WillOnce(Return(kIOReturnSuccess));
    FWLib::Device device(service);
    FWAddressStruct addr(0xFFFF, 0xF0430000);
    addr.nodeID = 0xFFC3;
    ASSERT_EQ(device.WriteQuadlet(addr, 2, false, false, 0), kIOReturnSuccess);
    UInt32 value = 0;
    ASSERT_EQ(device.ReadQuadlet(addr, value, false, false, 0), kIOReturnSuccess);
    EXPECT_EQ(value, 0x12345678u);
    UInt32 size = 8;
    char buf[8];
    EXPECT_EQ(device.Read(addr, buf, size, true, false, 3), kIOReturnSuccess);
}

TEST(IOReturnNames, KnownAndUnknownCodes) {
    EXPECT_EQ(IOReturnName(kIOReturnBusy), "busy");
    EXPECT_EQ(IOReturnName(kIOFireWireBusReset), "bus reset");
    EXPECT_EQ(IOReturnName(0x1234), "0x00001234");
}

}  // namespace
