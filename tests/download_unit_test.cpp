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

struct SerialCase {
    const char* name;
    std::string stored;
    UInt32 delivered;
    IOReturn fault;
    std::string expected;
};

TEST_F(DownloadUnitTest, SerialNumberCases) {
    const std::vector<SerialCase> cases = {
        {"eight characters", "KY041187", 8, kIOReturnSuccess, "KY041187"},
        {"short read", "KY041187", 5, kIOReturnSuccess, "KY041"},
        {"zero byte inside", std::string("KY0\0ABCD", 8), 8, kIOReturnSuccess, "KY0"},
        {"failed read", "KY041187", 8, kIOReturnTimeout, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bus->ClearFaults(guid);
        Ky().Identity().serial = c.stored;
        Ky().Behaviour().serialReadBytes = c.delivered;
        if (c.fault != kIOReturnSuccess)
            bus->AddFault(guid, FailWith(OnAny(TxType::BlockRead), c.fault));
        std::string serial = "stale";
        EXPECT_EQ(unit->GetProductSerNum(serial), c.fault);
        EXPECT_EQ(serial, c.expected);
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
