// The update unit's reads and its cancel, against the simulated Ky (the
// traffic of a whole update is pinned by the replayed recordings).
#include <gtest/gtest.h>

#include "support/SimFixture.h"

namespace {

using kysim::FailWith;
using kysim::On;
using kysim::OnAny;
using kysim::ReadsAs;
using kysim::TxType;
using kytest::Be32;

class DownloadUnitTest : public kytest::SimFixture {
protected:
    void SetUp() override {
        unit = MakeUnit();
        Ky().Behaviour().eraseMicros = 0;
        bus->ClearTransactions();
    }
    // The unit takes a command only a gap after the one before.
    void Gap() { clock.Advance(kysim::kCommandGapMicros); }
    std::unique_ptr<DownloadUnit> unit;
};

TEST_F(DownloadUnitTest, VersionReadsPassGenerationZeroButStillReachTheUnit) {
    // A reset since the unit was made: generation 0 requests are sent at the
    // generation the device layer knows, after refreshing it once.
    bus->BusReset();
    UInt32 version = 0;
    EXPECT_EQ(unit->GetSoftwareVersion(version), kIOReturnSuccess);
    EXPECT_EQ(version, 0x00010005u);
}

TEST_F(DownloadUnitTest, SerialNumberCases) {
    // What the Ky holds, the bytes it delivers, how the read fails, the serial read.
    const std::vector<std::tuple<std::string, UInt32, IOReturn, std::string>> cases = {
        {"KY041187", 8, kIOReturnSuccess, "KY041187"},
        {"KY041187", 5, kIOReturnSuccess, "KY041"},  // a short read
        {std::string("KY0\0ABCD", 8), 8, kIOReturnSuccess, "KY0"},
        {"KY041187", 8, kIOReturnTimeout, ""},
    };
    for (const auto& [stored, delivered, fault, expected] : cases) {
        SCOPED_TRACE(expected);
        bus->ClearFaults(guid);
        Ky().Identity().serial = stored;
        Ky().Behaviour().serialReadBytes = delivered;
        if (fault != kIOReturnSuccess)
            bus->AddFault(guid, FailWith(OnAny(TxType::BlockRead), fault));
        std::string serial = "stale";
        const IOReturn status = unit->GetProductSerNum(serial);
        EXPECT_EQ(std::pair(status, serial), std::pair(fault, expected));
    }
}

// Cancelling has no caller in this program: one smoke row, the poll bounded.
TEST_F(DownloadUnitTest, CancelTransferIsBounded) {
    UInt32 g = bus->Generation();
    bus->AddFault(guid, ReadsAs(On(TxType::QuadletRead, 0xFFFFF0430000, 1, 1'000'000), 1));
    EXPECT_EQ(unit->CancelTransfer(g), kIOReturnTimeout);
    EXPECT_EQ(bus->Transactions().size(), 1u + DownloadUnit::kCancelPollLimit);
}

}  // namespace
