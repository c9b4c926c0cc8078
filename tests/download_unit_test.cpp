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

TEST_F(DownloadUnitTest, ConstructionTracesAndFillsTheRegisterMap) {
    kytest::StreamCapture io;
    DownloadUnit fresh(FirstKyService());
    EXPECT_EQ(io.Out(), "Ctor DownloadUnit\n");
    const std::vector<std::pair<const FWAddressStruct*, UInt32>> map = {
        {&fresh.CommandRegsAddress(), 0xF0430000},     {&fresh.UpdateControlAddress(), 0xF0430000},
        {&fresh.SoftwareVersionAddress(), 0xF0430004}, {&fresh.ProductVersionAddress(), 0xF0430008},
        {&fresh.UpdateCommandAddress(), 0xF043000C},   {&fresh.CrcAddress(), 0xF0430010},
        {&fresh.StatusAddress(), 0xF0430014},          {&fresh.UpdateDataAddress(), 0xF0430020},
        {&fresh.SerialNumberAddress(), 0xF0430220}};
    for (const auto& [addr, lo] : map) {
        EXPECT_EQ(addr->addressHi, 0xFFFF);
        EXPECT_EQ(addr->addressLo, lo);
        EXPECT_EQ(addr->nodeID, 0);
    }
}

struct TrafficCase {
    const char* name;
    std::function<IOReturn(DownloadUnit&)> call;
    std::vector<Transaction> expected;  // generation and node filled in by the test
};

TEST_F(DownloadUnitTest, EachOperationPutsExactlyItsTransactionOnTheBus) {
    std::vector<UInt8> block(128);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = UInt8(i * 7);
    const std::vector<UInt8> header(20, 0xAB);
    const std::vector<TrafficCase> cases = {
        {"BeginUpdate",
         [](DownloadUnit& u) {
             UInt32 g = 2;
             return u.BeginUpdate(g);
         },
         {{TxType::QuadletWrite, 0, 0xFFFFF0430000, Be32(1), 0, 0}}},
        {"SetUpdateCommand",
         [](DownloadUnit& u) {
             UInt32 g = 2, type = 1;
             return u.SetUpdateCommand(g, type);
         },
         {{TxType::QuadletWrite, 0, 0xFFFFF043000C, Be32(1), 0, 0}}},
        {"SendBlock header",
         [&](DownloadUnit& u) {
             UInt32 g = 2;
             return u.SendBlock(const_cast<UInt8*>(header.data()), 20, 0, g);
         },
         {{TxType::BlockWrite, 0, 0xFFFFF0430020, header, 0, 0}}},
        {"SendBlock at 4096",
         [&](DownloadUnit& u) {
             UInt32 g = 2;
             return u.SendBlock(block.data(), 128, 4096, g);
         },
         {{TxType::BlockWrite, 0, 0xFFFFF0430020, block, 0, 0}}},
        {"SendCRCAndVerify",
         [](DownloadUnit& u) {
             UInt32 g = 2;
             return u.SendCRCAndVerify(7, g);
         },
         {{TxType::QuadletWrite, 0, 0xFFFFF0430010, Be32(7), 0, 0}}},
        {"RestoreNormalOperation",
         [](DownloadUnit& u) {
             UInt32 g = 2;
             return u.RestoreNormalOperation(g);
         },
         {}},
        // The 0xAB header above was refused: the unit now reports its failed state.
        {"ReadStatusRegister",
         [](DownloadUnit& u) {
             UInt32 v;
             return u.ReadStatusRegister(v, 2);
         },
         {{TxType::QuadletRead, 0, 0xFFFFF0430014, Be32(2), 0, 0}}},
        {"GetSoftwareVersion",
         [](DownloadUnit& u) {
             UInt32 v;
             return u.GetSoftwareVersion(v);
         },
         // The MCORE area was erased above: it would not start, and reads 0.
         {{TxType::QuadletRead, 0, 0xFFFFF0430004, Be32(0x00000005), 0, 0}}},
        {"GetProductRevision",
         [](DownloadUnit& u) {
             UInt32 v;
             return u.GetProductRevision(v);
         },
         {{TxType::QuadletRead, 0, 0xFFFFF0430008, Be32(0x00030000), 0, 0}}},
        {"GetProductSerNum",
         [](DownloadUnit& u) {
             std::string s;
             return u.GetProductSerNum(s);
         },
         {{TxType::BlockRead, 0, 0xFFFFF0430220, {'K', 'Y', '0', '4', '1', '1', '8', '7'}, 0, 0}}},
    };
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

TEST_F(DownloadUnitTest, ResultsArePassedOnUnchanged) {
    bus->AddFault(guid, FailWith(On(TxType::QuadletWrite, 0xFFFFF0430000), kIOReturnBusy));
    UInt32 g = bus->Generation();
    EXPECT_EQ(unit->BeginUpdate(g), kIOReturnBusy);
    EXPECT_EQ(unit->MaxDownloadBlockSize(), 128u);
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
