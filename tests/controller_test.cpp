// Finding and identifying the Ky through the controller.
#include <gtest/gtest.h>

#include "app/kyfirmwareupdate.h"
#include "support/SimFixture.h"

namespace {

using kysim::TxType;
using ZRV::PTA::CKyFirmwareUpdate;

class ControllerTest : public kytest::SimFixture {
protected:
    ControllerTest() : ky(bus) {}
    void SetVersions(UInt16 mcore, UInt16 xilinx) {
        Ky().Identity().mcoreVersion = mcore;
        Ky().Identity().xilinxVersion = xilinx;
    }
    kytest::StreamCapture io;  // before the controller: captures its traces too
    CKyFirmwareUpdate ky;
};

TEST_F(ControllerTest, ConstructionTracesOnBothStreams) {
    EXPECT_EQ(io.Out(), "Ctor KyFirmwareUpdate\n");
    EXPECT_EQ(io.Err(), "Test CERR\n");
}

TEST_F(ControllerTest, FoundKyIsIdentifiedWithTheExpectedTraffic) {
    Ky().Identity() = {2, 6, 3, "KY123456"};
    io.Clear();
    ASSERT_TRUE(ky.IsFound());
    EXPECT_EQ(io.Out(),
              "Open Ky\nCtor DownloadUnit\nFWDL::Open\nFWDL::Close\nClose Ky\nDtor DownloadUnit\n");
    auto log = bus->Transactions();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].offset, 0xFFFFF0430004u);
    EXPECT_EQ(log[1].offset, 0xFFFFF0430008u);
    EXPECT_EQ(log[2].offset, 0xFFFFF0430220u);
    EXPECT_EQ(log[2].type, TxType::BlockRead);
    EXPECT_EQ(ky.Unit(), nullptr);
    EXPECT_EQ(bus->Opens(), bus->Closes());
    EXPECT_EQ(bus->LiveInterfaces(), 0);
}

struct VersionCase {
    UInt16 mcore, xilinx;
    const char* text;
    bool downgrade;
    const char* serial;
    bool same = false;  // nothing to do
};

TEST_F(ControllerTest, VersionTextsSerialAndDowngradeRule) {
    const std::vector<VersionCase> cases = {
        {2, 6, "2-6", false, "KY123456", true},    {2, 7, "2-7", true, "KY123456"},
        {3, 0, "3-0", true, "KY123456"},           {1, 5, "1-5", false, "Not Available"},
        {1, 7, "1-7", true, "Not Available"},      {0, 0, "0-0", false, "Not Available"},
        {10, 65535, "10-65535", true, "KY123456"}, {2, 5, "2-5", false, "KY123456"},
        {1, 6, "1-6", false, "Not Available"},
    };
    Ky().Identity().serial = "KY123456";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SetVersions(c.mcore, c.xilinx);
        ASSERT_TRUE(ky.IsFound());
        std::string text, serial, update;
        ky.GetCurrentFirmwareVersionString(text);
        ky.GetSerialNumberString(serial);
        ky.GetUpdateFirmwareVersionString(update);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(serial, c.serial);
        EXPECT_EQ(update, "2-6");
        EXPECT_EQ(ky.IsDowngrade(), c.downgrade);
        EXPECT_EQ(ZRV::PTA::IsSameAsBuiltIn(ky.Info()), c.same);
    }
}

TEST_F(ControllerTest, ProductVersionsThreeAndZeroAreAccepted) {
    for (auto [product, accepted] :
         std::vector<std::pair<UInt16, bool>>{{0, true}, {2, false}, {3, true}, {4, false}}) {
        SCOPED_TRACE(product);
        Ky().Identity().productVersion = product;
        EXPECT_EQ(ky.IsFound(), accepted);
        EXPECT_EQ(ky.Info().productVer, UInt32{product} << 16);
        EXPECT_EQ(ky.Unit(), nullptr);
    }
}

TEST_F(ControllerTest, UpdateTextNeedsNoDevice) {
    bus->Unplug(guid);
    std::string update;
    ky.GetUpdateFirmwareVersionString(update);
    EXPECT_EQ(update, "2-6");
    EXPECT_FALSE(ky.IsFound());
    EXPECT_FALSE(ky.Info().valid);
    EXPECT_EQ(ky.Unit(), nullptr);
}

TEST_F(ControllerTest, AttachAndRemoveShowAtTheNextCall) {
    EXPECT_TRUE(ky.IsFound());
    bus->Unplug(guid);
    EXPECT_FALSE(ky.IsFound());
    bus->Replug(guid);
    EXPECT_TRUE(ky.IsFound());
}

TEST_F(ControllerTest, UnitThatRefusesToOpenLeavesNothingBehind) {
    bus->Faults(guid).openStatus = kIOReturnExclusiveAccess;
    for (int tick = 0; tick < 5; ++tick) EXPECT_FALSE(ky.IsFound());
    EXPECT_EQ(bus->LiveInterfaces(), 0);
    EXPECT_EQ(ky.Unit(), nullptr);
    EXPECT_TRUE(bus->Transactions().empty());
}

TEST_F(ControllerTest, ConstructionFailuresAreNotFoundWithAMessage) {
    bus->Faults(guid).plugInFails = true;
    io.Clear();
    EXPECT_FALSE(ky.IsFound());
    EXPECT_EQ(io.Err(), "Couldn't create plug in interface\n");
    EXPECT_EQ(ky.LastCheck(), ZRV::PTA::KyCheck::OpenFailed);
    bus->Faults(guid) = {};
    bus->Faults(guid).queryInterfaceFails = true;
    io.Clear();
    EXPECT_FALSE(ky.IsFound());
    EXPECT_EQ(io.Err(), "FWLib_Device:109 CFPlugInInterface->QueryInterface returned error\n");
    EXPECT_EQ(ky.Unit(), nullptr);
}

TEST_F(ControllerTest, OpenKyLetsTheConstructionFailurePass) {
    bus->Faults(guid).plugInFails = true;
    EXPECT_THROW(ky.OpenKy(), std::exception);
    EXPECT_EQ(ky.Unit(), nullptr);
}

TEST_F(ControllerTest, UnreadableGenerationIsNotFoundWithoutOpening) {
    bus->Faults(guid).generationStatus = kIOReturnNotResponding;
    io.Clear();
    EXPECT_FALSE(ky.IsFound());
    EXPECT_EQ(io.Err(), "Could not read the bus generation: device not responding\n");
    EXPECT_EQ(bus->Opens(), 0u);
    EXPECT_EQ(bus->LiveInterfaces(), 0);
}

TEST_F(ControllerTest, UnreadableVersionsAreNotTakenForTheKys) {
    ASSERT_TRUE(ky.IsFound());
    bus->AddFault(guid, kysim::FailWith(kysim::On(TxType::QuadletRead, kysim::kProductVersionReg),
                                        kIOReturnTimeout));
    io.Clear();
    EXPECT_FALSE(ky.IsFound());
    EXPECT_EQ(io.Err(), "Could not read the Ky's versions: no answer from the Ky (timed out)\n");
    EXPECT_EQ(bus->Opens(), bus->Closes());
}

TEST_F(ControllerTest, LookupFailureIsTheMasterPortProblem) {
    bus->FailLookups(kIOReturnError);
    io.Clear();
    EXPECT_FALSE(ky.IsFound());
    EXPECT_EQ(io.Err(), "Problem with MasterPort\n");
}

TEST_F(ControllerTest, FirstOfSeveralKysIsTaken) {
    bus->AddKy({2, 6, 3, "KY999999"});
    ASSERT_TRUE(ky.IsFound());
    EXPECT_EQ(ky.Info().MCOREver, 1u);
}

TEST_F(ControllerTest, DestructionTracesAndFreesAnOpenUnit) {
    auto other = std::make_unique<CKyFirmwareUpdate>(bus);
    ASSERT_TRUE(other->OpenKy());
    io.Clear();
    other.reset();
    EXPECT_EQ(io.Out(), "Dtor KyFirmwareUpdate\nDtor DownloadUnit\n");
    EXPECT_EQ(bus->LiveInterfaces(), 0);
}

using ControllerDeathTest = ControllerTest;

TEST_F(ControllerDeathTest, AccessorsBeforeDiscoveryAssert) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string out;
    EXPECT_DEATH(ky.GetCurrentFirmwareVersionString(out),
                 "kyfirmwareupdate.cpp:[0-9]+: failed assertion `true == _kyInfo.valid'");
    EXPECT_DEATH(ky.IsDowngrade(), "failed assertion `true == _kyInfo.valid'");
}

}  // namespace
