// The simulated Ky: the device behaviour that tests, benchmarks and the
// demo rely on.
#include <gtest/gtest.h>

#include <numeric>
#include <tuple>

#include "sim/SimState.h"
#include "support/Files.h"
#include "support/SimFixture.h"

namespace {

using kysim::FlashArea;
using kysim::KyUnitModel;

// Drives the unit's registers directly, as a download would.
class SimKyTest : public kytest::SimFixture {
protected:
    void SetUp() override {
        unit = MakeUnit();
        Ky().Behaviour().eraseMicros = 0;
    }

    UInt32 Status() {
        UInt32 v = 99;
        EXPECT_EQ(unit->ReadStatusRegister(v, bus->Generation()), kIOReturnSuccess);
        return v;
    }
    // The unit takes a command only a gap after the one before.
    void Gap() { clock.Advance(kysim::kCommandGapMicros); }
    IOReturn StartErase(UInt32 command) {
        UInt32 g = bus->Generation();
        Gap();
        unit->BeginUpdate(g);
        Gap();
        return unit->SetUpdateCommand(g, command);
    }
    IOReturn Send(std::vector<UInt8> bytes) {
        UInt32 g = bus->Generation();
        Gap();
        return unit->SendBlock(bytes.data(), static_cast<unsigned>(bytes.size()), 0, g);
    }
    // Sends `image` after a header, padded to whole quadlets; returns the CRC.
    UInt16 SendImage(const std::vector<UInt8>& image) {
        EXPECT_EQ(Send(kytest::FirmwareHeader(static_cast<UInt32>(image.size()))),
                  kIOReturnSuccess);
        std::vector<UInt8> padded = image;
        padded.resize((image.size() + 3) & ~std::size_t{3}, 0);
        for (std::size_t at = 0; at < padded.size(); at += 128) {
            std::vector<UInt8> block(padded.begin() + at,
                                     padded.begin() + std::min(padded.size(), at + 128));
            EXPECT_EQ(Send(block), kIOReturnSuccess);
        }
        return kysim::Crc16Xmodem(0, padded);
    }
    IOReturn SendCrc(UInt32 crc) {
        UInt32 g = bus->Generation();
        Gap();
        return unit->SendCRCAndVerify(crc, g);
    }

    std::unique_ptr<DownloadUnit> unit;
};

TEST_F(SimKyTest, OnlyAFlashThatWouldStartReportsItsVersion) {
    const std::string sync = "\xFF\xFF\xFF\xFF\xAA\x99\x55\x66";
    const std::string s0 = "S00E00004B595F4D434F52455F763370\r\n", s7 = "S70500000000FA\r\n";
    const std::vector<std::tuple<const char*, UInt32, std::string, UInt16>> cases = {
        {"S0 and S7 alone", 1, s0 + s7, 3},  // "_v3"
        {"S-records", 1, s0 + "S30900000400DEADBEEFBA\r\n" + s7, 3},
        {"a wrong checksum", 1, s0 + "S30900000400DEADBEEFBB\r\n" + s7, 0},
        {"an S1 record", 1, s0 + "S1070400DEADBEEFBC\r\n" + s7, 0},
        {"LF line ends", 1, "S00E00004B595F4D434F52455F763370\nS70500000000FA\n", 0},
        {"no S7 at the end", 1, s0, 0},
        {"configuration data", 0, sync + "KYFPGA_v7" + std::string(40, '\0'), 7},
        {"a .bit file from its start", 0, "\x00\x09KYFPGA_v7" + sync, 0},
    };
    for (const auto& [name, command, text, version] : cases) {
        SCOPED_TRACE(name);
        const auto area = command ? FlashArea::MCORE : FlashArea::Xilinx;
        const auto other = Ky().Identity();
        ASSERT_EQ(StartErase(command), kIOReturnSuccess);
        ASSERT_EQ(SendCrc(SendImage({text.begin(), text.end()})), kIOReturnSuccess);
        EXPECT_EQ(Ky().Flash(area), std::vector<UInt8>(text.begin(), text.end()));
        // The other half is untouched.
        const auto& id = Ky().Identity();
        EXPECT_EQ(std::tuple(id.mcoreVersion, id.xilinxVersion, Ky().CurrentPhase()),
                  std::tuple(command ? version : other.mcoreVersion,
                             command ? other.xilinxVersion : version, KyUnitModel::Phase::Normal));
    }
}

TEST_F(SimKyTest, EachBreachOfTheProtocolIsRefusedAsARealKyWould) {
    auto closed = std::make_unique<DownloadUnit>(FirstKyService());
    UInt32 v = 0, g = bus->Generation(), command = 0;
    EXPECT_EQ(closed->ReadStatusRegister(v, g), kIOReturnNotOpen);         // never opened
    EXPECT_EQ(Send(kytest::FirmwareHeader(8)), kIOFireWireConflictError);  // not in update mode
    unit->BeginUpdate(g);
    auto version2 = kytest::FirmwareHeader(100);
    version2[3] = 2;  // a header version the Ky does not know
    // Each after the erase: what is sent, and the answer to its last part.
    using kytest::FirmwareHeader;
    // clang-format off
    const std::vector<std::tuple<const char*, std::vector<std::vector<UInt8>>, IOReturn>> cases = {
        {"a second header", {FirmwareHeader(300), FirmwareHeader(300)}, kIOFireWireDataError},
        {"a short block not the last", {FirmwareHeader(300), std::vector<UInt8>(64, 1)}, kIOFireWireDataError},
        {"header version 2", {version2}, kIOFireWireDataError},
        {"more than announced", {FirmwareHeader(8), std::vector<UInt8>(12, 0)}, kIOFireWireDataError},
        {"larger than the flash area", {FirmwareHeader(0x100000)}, kIOFireWireDataError},
        {"a block too large", {std::vector<UInt8>(132, 0xFF)}, kIOFireWireTypeError},
    };
    // clang-format on
    for (const auto& [name, blocks, answer] : cases) {
        SCOPED_TRACE(name);
        ASSERT_EQ(StartErase(0), kIOReturnSuccess);
        for (std::size_t i = 0; i + 1 < blocks.size(); ++i)
            EXPECT_EQ(Send(blocks[i]), kIOReturnSuccess);
        EXPECT_EQ(Send(blocks.back()), answer);
        EXPECT_EQ(Status(), 2u);  // the update has failed
    }
    ASSERT_EQ(StartErase(0), kIOReturnSuccess);
    UInt16 crc = SendImage(std::vector<UInt8>(300, 7));
    EXPECT_EQ(SendCrc(0x10000u | crc), kIOFireWireDataError);  // the upper half must be 0
    ASSERT_EQ(StartErase(0), kIOReturnSuccess);
    std::vector<UInt8> image(130);
    std::iota(image.begin(), image.end(), 0);
    crc = SendImage(image);
    EXPECT_EQ(SendCrc(crc ^ 1), kIOFireWireDataError);
    // Failed, and erased: it would not start.
    EXPECT_EQ(std::tuple(Status(), Ky().Identity().xilinxVersion, Ky().Identity().mcoreVersion,
                         Ky().ProgrammedCount()),
              std::tuple(2u, 0, 1, 0u));
    Ky().Behaviour().rejectCrc = true;  // the fault refuses even the right CRC
    ASSERT_EQ(StartErase(0), kIOReturnSuccess);
    EXPECT_EQ(SendCrc(SendImage(std::vector<UInt8>(64, 0x5A))), kIOFireWireDataError);
    // Data or a command while erasing conflicts.
    Ky().Behaviour().eraseNeverEnds = true;
    ASSERT_EQ(StartErase(0), kIOReturnSuccess);
    clock.Advance(600'000'000);
    EXPECT_EQ(Status(), 0u);
    EXPECT_EQ(Send(kytest::FirmwareHeader(8)), kIOFireWireConflictError);
    command = 1;
    Gap();
    EXPECT_EQ(unit->SetUpdateCommand(g, command), kIOFireWireConflictError);
}

// The Ky needs 1 ms after each command and each block before the next: one
// that comes sooner is answered busy and not taken; exactly 1 ms is enough.
TEST_F(SimKyTest, ACommandOrBlockSoonerThanTheGapIsBusyAndNotTaken) {
    std::vector<UInt8> image(256);
    std::iota(image.begin(), image.end(), 0);
    auto header = kytest::FirmwareHeader(256);
    // Each run, 1000 us between its steps (999 before a step marked !): begin
    // the update, erase, header, two blocks, CRC.
    for (const std::string run : {"U !E E H 0 1 C", "U E !H H 0 1 C", "U E H !0 0 1 C",
                                  "U E H 0 !1 1 C", "U E H 0 1 !C C"}) {
        SCOPED_TRACE(run);
        const unsigned programmed = Ky().ProgrammedCount();
        UInt32 g = bus->Generation(), command = 0;
        for (std::size_t at = 0; at < run.size(); at += 2) {
            const bool soon = run[at] == '!';
            clock.Advance(kysim::kCommandGapMicros - soon);
            const char step = run[at += soon];
            const IOReturn answer = step == 'U'   ? unit->BeginUpdate(g)
                                    : step == 'E' ? unit->SetUpdateCommand(g, command)
                                    : step == 'H' ? unit->SendBlock(header.data(), 20, 0, g)
                                    : step == 'C'
                                        ? unit->SendCRCAndVerify(kysim::Crc16Xmodem(0, image), g)
                                        : unit->SendBlock(&image[128 * (step - '0')], 128, 0, g);
            EXPECT_EQ(answer, soon ? kIOReturnBusy : kIOReturnSuccess) << step;
        }
        EXPECT_EQ(std::tuple(Ky().Flash(FlashArea::Xilinx), Ky().ProgrammedCount(), Status()),
                  std::tuple(image, programmed + 1, 0u));
    }
}

// A program that keeps running (the window) reads at each open what
// another one left.
TEST(DemoKy, EachOpenReadsWhatTheLastHolderLeft) {
    const kytest::TempDir dir("hold");
    ky::FakeClock clock;
    kysim::DemoKy::Options options;
    options.clock = &clock, options.directory = dir.Path(), options.eraseMicros = 0;
    kysim::DemoKy mine(options), theirs(options);
    std::vector<std::unique_ptr<DownloadUnit>> units;
    for (const auto* demo : {&mine, &theirs}) {
        FWLib::io_service_t service;
        FWLib::GetMatchingService(*demo->Bus(), {0xA27, 0x11}, service);
        units.push_back(std::make_unique<DownloadUnit>(service));
    }
    ASSERT_EQ(units[1]->Open(), kIOReturnSuccess);
    units[1]->Close();
    ASSERT_EQ(units[0]->Open(), kIOReturnSuccess);
    UInt32 g = mine.Bus()->Generation(), xilinx = 0;
    units[0]->BeginUpdate(g);
    clock.Advance(kysim::kCommandGapMicros);
    ASSERT_EQ(units[0]->SetUpdateCommand(g, xilinx), kIOReturnSuccess);  // erases the FPGA area
    units[0]->Close();
    EXPECT_EQ(theirs.Bus()->Ky(theirs.Guid()).Identity().xilinxVersion, 5);
    ASSERT_EQ(units[1]->Open(), kIOReturnSuccess);
    EXPECT_EQ(theirs.Bus()->Ky(theirs.Guid()).Identity().xilinxVersion, 0);
}

TEST(DemoKy, StateFileIsReadWholeOrRefusedWithTheReason) {
    kysim::DemoState state;
    state.identity = {2, 6, 3, "KY\xff\xfe"};
    state.flash = {std::vector<UInt8>{1, 0, '\n'}, std::vector<UInt8>{9}};
    const auto back = kysim::ParseDemoState(kysim::FormatDemoState(state));
    ASSERT_TRUE(back) << back.Failure().What();
    EXPECT_EQ(std::pair(back->identity.serial, back->flash),
              std::pair(state.identity.serial, state.flash));
    const std::string ids = "mcore=1\nxilinx=5\nproduct=3\nserial=KY";
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"", "no mcore= line"},
        {ids + "\nmcore=2\n", "line 5: mcore given twice"},
        {"mcore=1\ncolour=red\n", "line 2: not one of mcore=, xilinx=, product=, serial=, xilinx-flash=, mcore-flash="},
        {"mcore=65536\n", "mcore= is not a number from 0 to 65535"},
        {ids + "123456789\n", "serial= missing or longer than 8 bytes"},
        {ids + "\nxilinx-flash=4\n\nab", "the flash contents are 2 bytes, not 4 as announced"},
        {ids + "\nxilinx-flash=1\nmcore-flash=1\n\nabc", "the flash contents are 3 bytes, not 2 as announced"},
    };
    // clang-format on
    for (const auto& [text, reason] : bad) {
        SCOPED_TRACE(text);
        const auto refused = kysim::ParseDemoState(text);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.Failure().What(), reason);
    }
}

}  // namespace
