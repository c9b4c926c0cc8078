// The update unit's operations, checked by the bytes they put on the
// simulated bus.
#include <gtest/gtest.h>

#include <functional>

#include "support/SimFixture.h"

namespace {

using kysim::FailWith;
using kysim::On;
using kysim::OnAny;
using kysim::ReadsAs;
using kysim::Transaction;
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

struct TrafficCase {
    const char* name;
    std::function<IOReturn(DownloadUnit&)> call;
    std::vector<Transaction> expected;  // generation and node filled in by the test
};

TEST_F(DownloadUnitTest, EachOperationPutsExactlyItsTransactionOnTheBus) {
    std::vector<UInt8> block(128);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = UInt8(i * 7);
    const std::vector<UInt8> header(20, 0xAB);
    const UInt64 base = 0xFFFFF0430000;
    const auto quadlet = [&](TxType type, UInt64 reg, UInt32 v) {
        return std::vector<Transaction>{{type, 0, base + reg, Be32(v), 0, 0}};
    };
    const auto w = TxType::QuadletWrite, r = TxType::QuadletRead;
    UInt32 v = 0, g = 2, mcore = 1;
    std::string s;
    // clang-format off
    const std::vector<TrafficCase> cases = {
        {"BeginUpdate", [&](DownloadUnit& u) { return u.BeginUpdate(g); }, quadlet(w, 0x00, 1)},
        {"SetUpdateCommand", [&](DownloadUnit& u) { return u.SetUpdateCommand(g, mcore); },
         quadlet(w, 0x0C, 1)},
        {"SendBlock header", [&](DownloadUnit& u) {
             return u.SendBlock(const_cast<UInt8*>(header.data()), 20, 0, g); },
         {{TxType::BlockWrite, 0, base + 0x20, header, 0, 0}}},
        {"SendBlock at 4096", [&](DownloadUnit& u) { return u.SendBlock(block.data(), 128, 4096, g); },
         {{TxType::BlockWrite, 0, base + 0x20, block, 0, 0}}},
        {"SendCRCAndVerify", [&](DownloadUnit& u) { return u.SendCRCAndVerify(7, g); },
         quadlet(w, 0x10, 7)},
        {"RestoreNormalOperation", [&](DownloadUnit& u) { return u.RestoreNormalOperation(g); }, {}},
        // The 0xAB header above was refused: the unit now reports its failed state.
        {"ReadStatusRegister", [&](DownloadUnit& u) { return u.ReadStatusRegister(v, 2); },
         quadlet(r, 0x14, 2)},
        // The MCORE area was erased above: it would not start, and reads 0.
        {"GetSoftwareVersion", [&](DownloadUnit& u) { return u.GetSoftwareVersion(v); },
         quadlet(r, 0x04, 0x00000005)},
        {"GetProductRevision", [&](DownloadUnit& u) { return u.GetProductRevision(v); },
         quadlet(r, 0x08, 0x00030000)},
        {"GetProductSerNum", [&](DownloadUnit& u) { return u.GetProductSerNum(s); },
         {{TxType::BlockRead, 0, base + 0x220, {'K', 'Y', '0', '4', '1', '1', '8', '7'}, 0, 0}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bus->ClearTransactions();
        Gap();
        IOReturn status = c.call(*unit);
        auto log = bus->Transactions();
        ASSERT_EQ(log.size(), c.expected.size());
        for (std::size_t i = 0; i < log.size(); ++i) {
            EXPECT_EQ(log[i].type, c.expected[i].type);
            EXPECT_EQ(log[i].offset, c.expected[i].offset);
            EXPECT_EQ(log[i].data, c.expected[i].data);
            EXPECT_EQ(log[i].status, status);
        }
    }
}

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

TEST_F(DownloadUnitTest, CancelTransferPollsUntilBitZeroClears) {
    Ky().Behaviour().cancelBusyReads = 3;
    UInt32 g = bus->Generation();
    unit->BeginUpdate(g);
    Gap();
    bus->ClearTransactions();
    EXPECT_EQ(unit->CancelTransfer(g), kIOReturnSuccess);
    auto log = bus->Transactions();
    ASSERT_EQ(log.size(), 5u);  // the write of 2, three reads with bit 0 set, one clear
    EXPECT_EQ(log[0].data, Be32(2));
    EXPECT_EQ(log[3].data, Be32(1));
    EXPECT_EQ(log[4].data, Be32(0));
}

TEST_F(DownloadUnitTest, CancelTransferIsBoundedAndStopsAtAFailedRead) {
    UInt32 g = bus->Generation();
    bus->AddFault(guid, ReadsAs(On(TxType::QuadletRead, 0xFFFFF0430000, 1, 1'000'000), 1));
    EXPECT_EQ(unit->CancelTransfer(g), kIOReturnTimeout);
    EXPECT_EQ(bus->Transactions().size(), 1u + DownloadUnit::kCancelPollLimit);

    bus->ClearFaults(guid);
    bus->ClearTransactions();
    bus->AddFault(guid,
                  FailWith(On(TxType::QuadletRead, 0xFFFFF0430000, 2), kIOReturnNotResponding));
    Ky().Behaviour().cancelBusyReads = 10;
    Gap();
    unit->BeginUpdate(g);
    Gap();
    EXPECT_EQ(unit->CancelTransfer(g), kIOReturnNotResponding);
    EXPECT_EQ(bus->Transactions().size(), 4u);  // begin, cancel, a busy read, the failed read
}

TEST_F(DownloadUnitTest, DeletingThroughTheBaseReleasesTheInterface) {
    const int before = bus->LiveInterfaces();
    kytest::StreamCapture io;
    std::unique_ptr<FWLib::Device> base = std::move(unit);
    base.reset();
    EXPECT_EQ(io.Out(), "Dtor DownloadUnit\n");
    EXPECT_EQ(bus->LiveInterfaces(), before - 1);
}

}  // namespace
