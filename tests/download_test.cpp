// One image from update mode to verified CRC, against the simulated Ky:
// the traffic byte for byte, every message, the progress, every failure.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/Downloader.h"
#include "engine/KyXilinx.h"
#include "engine/Ky_MCORE.h"
#include "sim/SimBus.h"
#include "support/SimFixture.h"
#include "support/TraceCapture.h"

namespace {

using kysim::On;
using kysim::TxType;
using kytest::Be32;
using Bytes = std::vector<UInt8>;

// Counts time like FakeClock and notes the progress value at every pause.
class ProgressClock final : public ky::Clock {
public:
    explicit ProgressClock(const DownloadProgress& progress) : mProgress(progress) {}
    std::uint64_t NowMicros() const override { return now; }
    void SleepMicros(std::uint64_t micros) override {
        now += micros;
        pauses.push_back(micros);
        seen.push_back(mProgress.Get());
    }
    std::uint64_t now = 0;
    std::vector<std::uint64_t> pauses;
    std::vector<UInt32> seen;

private:
    const DownloadProgress& mProgress;
};

class DownloadTest : public ::testing::Test {
protected:
    // The traffic is pinned with an erase that ends at once.
    DownloadTest() : clock(progress), bus(kysim::SimBus::Create(clock)), guid(bus->AddKy()) {
        Ky().Behaviour().eraseMicros = 0;
    }

    IOReturn Run(DOWNLOADTYPE type, FirmwareImages images = BuiltInImages()) {
        return Run(type, images, step);
    }
    IOReturn Run(DOWNLOADTYPE type, FirmwareImages images, std::string& failedStep) {
        FWLib::io_service_t service;
        FWLib::GetMatchingService(*bus, {0xA27, 0x11}, service);
        DownloadUnit unit(service);
        Downloader downloader(clock, progress, images, io.Sink());
        bus->ClearTransactions();
        io.Clear();
        const ky::ImageOutcome outcome = downloader.Download(&unit, type);
        err = io.Text();  // before the destructor adds its line
        failedStep = outcome.StepText();
        return outcome.error;
    }
    kysim::KyUnitModel& Ky() { return bus->Ky(guid); }
    std::vector<kysim::Transaction> Writes(UInt64 offset) const {
        std::vector<kysim::Transaction> out;
        for (auto& t : bus->Transactions())
            if (t.offset == offset && t.type != TxType::QuadletRead) out.push_back(t);
        return out;
    }

    DownloadProgress progress;
    ProgressClock clock;
    std::shared_ptr<kysim::SimBus> bus;
    UInt64 guid;
    kytest::TraceCapture io;
    std::string err;   // what one DoDownload traced
    std::string step;  // where it failed
};

// The trace of a download up to the erase, and after it.
constexpr const char* kStart = "Opening ";
const std::string kMcoreErase = "Opening MCORE 06 file\nBusGen 2\nErasing MCORE image\n";
constexpr const char* kSent = "Sending Data...\nUpdate successful.\n\r";

TEST_F(DownloadTest, EachImageByteForByteWithItsMessagesAndProgress) {
    ASSERT_EQ(Run(fileXILINX), kIOReturnSuccess);
    // The traffic byte for byte (header, every block's hash, the CRC) is
    // pinned by the replay of the recorded update, which stops at the first
    // call that differs and at calls left over; what the Ky keeps of it, by
    // the simulated Ky's own tests.
    // The traces of both images are in the fault transcripts.
    EXPECT_EQ(
        std::tuple(Ky().Identity().xilinxVersion, err, progress.Get()),
        std::tuple(
            6, std::string(kStart) + "Xilinx data file\nBusGen 2\nErasing Xilinx Image\n" + kSent,
            60u));
    // One pause after each command, the header, every block and the CRC; the
    // progress is reset before the erase phase, then rises through every value
    // from 40 to exactly 60.
    EXPECT_EQ(clock.pauses, std::vector<std::uint64_t>(2636, kCommandPauseMicros));
    ASSERT_GT(clock.seen.size(), 2u);
    EXPECT_EQ(std::pair(clock.seen[0], clock.seen[2]), std::pair(0u, 40u));
    EXPECT_TRUE(std::is_sorted(clock.seen.begin() + 2, clock.seen.end()));
    for (UInt32 v = 40; v < 60; ++v)
        EXPECT_NE(std::find(clock.seen.begin(), clock.seen.end(), v), clock.seen.end()) << v;

    Ky().Behaviour().eraseMicros = 2'500'000;
    ASSERT_EQ(Run(fileMCORE), kIOReturnSuccess);
    EXPECT_EQ(
        std::tuple(Ky().Identity().mcoreVersion, progress.Get(), err),
        std::tuple(2, 100u, kMcoreErase + "Erasing Flash\nErasing Flash\nErasing Flash\n" + kSent));
}

// A small .bit file whose configuration data is `dataBytes` long.
Bytes SmallBitFile(std::size_t dataBytes) {
    Bytes f(KyXilinxData, KyXilinxData + 74);
    f[70] = UInt8(dataBytes >> 24), f[71] = UInt8(dataBytes >> 16);
    f[72] = UInt8(dataBytes >> 8), f[73] = UInt8(dataBytes);
    for (std::size_t i = 0; i < dataBytes; ++i) f.push_back(KyXilinxData[74 + i]);
    return f;
}

TEST_F(DownloadTest, OnlyTheLastBlockIsShortAndItsZerosEnterTheCrc) {
    ASSERT_EQ(Run(fileXILINX, {SmallBitFile(256), BuiltInImages().mcore}), kIOReturnSuccess);
    EXPECT_EQ(Writes(kysim::kUpdateDataWindow).size(), 3u);  // header and two blocks, no empty one
    // The first fraction after one block counts from the file's start.
    EXPECT_EQ(clock.seen[5], UInt32(40.0f + 20.0f * (float(74 + 128) / float(330))));

    const Bytes bit = SmallBitFile(128 + 6);
    ASSERT_EQ(Run(fileXILINX, {bit, BuiltInImages().mcore}), kIOReturnSuccess);
    const auto blocks = Writes(kysim::kUpdateDataWindow);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].data, kytest::FirmwareHeader(134));
    Bytes last(bit.end() - 6, bit.end());
    last.insert(last.end(), {0, 0});
    EXPECT_EQ(blocks[2].data, last);
    Bytes sent(bit.begin() + 74, bit.end());
    sent.insert(sent.end(), {0, 0});
    EXPECT_EQ(Writes(kysim::kCrcReg)[0].data, Be32(kysim::Crc16Xmodem(0, sent)));
}

// (Braces: the download runs before what it left is read.) A unit that cannot be opened (another
// holder) or whose bus generation cannot be read (a Ky gone since the check) is sent nothing; the
// failures after it has been reached are the kyfw fault transcripts.
TEST_F(DownloadTest, NothingIsSentToAUnitThatCannotBeOpenedOrPlaced) {
    bus->Faults(guid).openStatus = kIOReturnExclusiveAccess;
    EXPECT_EQ((std::tuple{Run(fileMCORE), err, step, bus->Transactions().size(), bus->Closes()}),
              std::tuple(kIOReturnExclusiveAccess,
                         std::string(kStart) + "MCORE 06 file\nBusGen 2\nCould not open device\n\r",
                         "opening the Ky", 0u,
                         0u));  // a refused open is not closed
    bus->Faults(guid) = {};
    bus->Faults(guid).generationStatus = kIOReturnNotResponding;
    EXPECT_EQ((std::tuple{Run(fileXILINX), err, step, bus->Transactions().size(), bus->Opens()}),
              std::tuple(kIOReturnNotResponding,
                         std::string(kStart) +
                             "Xilinx data file\nCould not read the bus generation, got error" +
                             std::to_string(kIOReturnNotResponding) + "\n\r",
                         "reading the bus generation", 0u,
                         1u));  // the refused one: this unit is not even opened
}

TEST_F(DownloadTest, EraseWaitOutcomes) {
    // How long the erase takes, whether the 3rd status read fails; the outcome, the
    // "Erasing Flash" lines, the status reads during the erase, where it failed.
    const std::vector<std::tuple<std::uint64_t, bool, IOReturn, int, std::size_t, std::string>>
        cases = {
            {59'000'000, false, kIOReturnSuccess, 59, 60, ""},  // done at the 60th read
            {5'000'000, true, kIOReturnNotResponding, 1, 2, "erasing"},
        };
    for (const auto& [eraseMicros, readFails, expected, erasingLines, statusReads, failed] :
         cases) {
        SCOPED_TRACE(erasingLines);
        bus->ClearFaults(guid);
        if (readFails)
            bus->AddFault(guid, kysim::FailWith(On(TxType::QuadletRead, kysim::kStatusReg, 3),
                                                kIOReturnNotResponding));
        Ky().Behaviour().eraseMicros = eraseMicros;
        clock.now = 0;
        const IOReturn error = Run(fileMCORE);
        std::string expectedErr = kMcoreErase;
        for (int i = 0; i < erasingLines; ++i) expectedErr += "Erasing Flash\n";
        if (!readFails) expectedErr += kSent;
        std::size_t reads = 0;
        for (auto& t : bus->Transactions()) reads += t.offset == kysim::kStatusReg;
        EXPECT_EQ(std::tuple(error, err, reads, step),
                  std::tuple(expected, expectedErr, 1 + statusReads, failed));
        EXPECT_GE(clock.now, erasingLines * kErasePollPauseMicros);
        EXPECT_EQ(bus->Opens(), bus->Closes());
    }
}

}  // namespace
