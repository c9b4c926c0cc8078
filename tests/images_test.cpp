// The built-in images, how they are read, and the checks made before any
// flash is touched.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "base/FirmwareMarks.h"
#include "engine/Downloader.h"
#include "engine/KyXilinx.h"
#include "engine/Ky_MCORE.h"
#include "engine/SRecords.h"
#include "sim/KyUnitModel.h"
#include "update/kyfirmwareupdate.h"

namespace {

using Bytes = std::vector<UInt8>;

Bytes BitFile() {
    return Bytes(KyXilinxData, KyXilinxData + KyXilinxDataSizeBytes);
}
Bytes SRecords() {
    return Bytes(KyMCORE06data, KyMCORE06data + KyMCORE06dataSize);
}

TEST(BuiltInImages, LayoutVersionsAndCrcAgreeWithWhatTheKyReads) {
    ASSERT_EQ(KyXilinxDataSizeBytes, 336754u);
    ASSERT_EQ(KyMCORE06dataSize, 71260u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(KyXilinxData[KyXilinxDataSizeBytes + i], 0);
        EXPECT_EQ(KyMCORE06data[KyMCORE06dataSize + i], 0);
    }
    const auto bit = ky::ReadBitFile(BitFile());
    const auto srec = ky::ReadSRecords(SRecords());
    ASSERT_TRUE(bit) << bit.Failure().What();
    ASSERT_TRUE(srec) << srec.Failure().What();
    EXPECT_EQ(
        std::tuple(bit->configOffset, bit->configLength, bit->date, bit->version, srec->version),
        std::tuple(74u, 336680u, "2006/03/14", ZRV::PTA::KyXilinxUpgradeVer,
                   ZRV::PTA::KyMCOREUpgradeVer));
    EXPECT_GE(srec->stretches.size(), 2u);
    EXPECT_TRUE(ky::CheckBuiltInImages());
    // The simulated Ky reads what the device receives: the configuration
    // data from its offset on, and the S-record text whole.
    const Bytes config(KyXilinxData + 74, KyXilinxData + KyXilinxDataSizeBytes);
    EXPECT_EQ(std::tuple(kysim::ReadVersionMarker(kysim::FlashArea::Xilinx, config),
                         kysim::ReadVersionMarker(kysim::FlashArea::MCORE, SRecords())),
              std::tuple(ZRV::PTA::KyXilinxUpgradeVer, ZRV::PTA::KyMCOREUpgradeVer));
    // The CRC agrees with an independent XMODEM over the padded data.
    Bytes padded = config;
    padded.resize((padded.size() + 3) / 4 * 4, 0);
    EXPECT_EQ(ky::DeviceCrc(config), kysim::Crc16Xmodem(0, padded));
    EXPECT_EQ(ky::DeviceCrc(SRecords()), kysim::Crc16Xmodem(0, SRecords()));
    const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8'};
    EXPECT_EQ(Downloader::updateCRC16(0, check.data(), 2), kysim::Crc16Xmodem(0, check));
}

Bytes WithSignatureAt(std::size_t pos, std::size_t size = 400) {
    Bytes f(std::max<std::size_t>(size, pos + 8), 0x11);
    const auto& sync = ky::kXilinxSyncWords;
    std::copy(sync.begin(), sync.end(), f.begin() + static_cast<std::ptrdiff_t>(pos));
    if (pos >= 4) f[pos - 4] = 0, f[pos - 3] = 0, f[pos - 2] = 0x01, f[pos - 1] = 0x02;
    f.resize(size);  // a file may end inside the signature
    return f;
}

TEST(ParseBit, FindsTheSignatureAndTheLengthBeforeIt) {
    Downloader downloader;
    int offset = -1, numBytes = -1;
    // (Braces: the parse runs before what it found is read.)
    EXPECT_EQ((std::tuple{downloader.ParseBit(offset, numBytes), offset, numBytes}),
              std::tuple(true, 74, 336680));
    const auto at143 = ky::FindConfiguration(WithSignatureAt(143));
    ASSERT_TRUE(at143);
    EXPECT_EQ(std::pair(at143->offset, at143->length), std::pair(143, 0x102));
    EXPECT_FALSE(ky::FindConfiguration(WithSignatureAt(144)));
    // Too early to carry a length: unusable rather than read before the file.
    EXPECT_FALSE(ky::FindConfiguration(WithSignatureAt(0)));
    EXPECT_FALSE(ky::FindConfiguration(WithSignatureAt(3)));
    EXPECT_TRUE(ky::FindConfiguration(WithSignatureAt(4)));
    EXPECT_FALSE(ky::FindConfiguration(WithSignatureAt(100, 107)));  // cut short
}

struct BrokenCopy {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* problem;
};

// Each damaged copy of `original` is refused with a problem that begins with
// the case's text.
template <class Read>
void ExpectEachRefused(const std::vector<BrokenCopy>& cases, const Bytes& original, Read read) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes f = original;
        c.damage(f);
        const auto result = read(f);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.Failure().What().rfind(c.problem, 0), 0u) << result.Failure().What();
    }
}

// clang-format off
TEST(ImageValidators, BitFileBrokenCopiesNameTheField) {
    const std::vector<BrokenCopy> cases = {
        {"preamble", [](Bytes& f) { f[3] = 0; }, "the .bit preamble"},
        {"key order", [](Bytes& f) { f[28] = 'c'; },
         "field 'b' (part name) expected at offset 28, found key 0x63"},
        {"not terminated", [](Bytes& f) { f[42] = 'x'; }, "field 'b' (part name) is not NUL-terminated"},
        {"date one byte short", [](Bytes& f) { f.resize(56); },
         "field 'c' (date) of 11 bytes runs past the end of the file"},
        {"a byte after the data", [](Bytes& f) { f.push_back(0); },
         "field 'e' records 336680 bytes of configuration data but 336681 follow"},
        {"truncated", [](Bytes& f) { f.resize(f.size() - 1); },
         "field 'e' records 336680 bytes of configuration data but 336679 follow"},
        {"sync word", [](Bytes& f) { f[78] = 0xAB; },
         "configuration data at offset 74 does not begin with the sync words"},
        {"a design name that pushes the data past 143", [](Bytes& f) {
             f[15] += 76; f.insert(f.begin() + 16, 76, 'n'); },
         "configuration data at offset 150 lies beyond position 143, where the updater looks for it"},
    };
    ExpectEachRefused(cases, BitFile(), ky::ReadBitFile);
}
// clang-format on

Bytes ReplaceText(Bytes f, const std::string& from, const std::string& to) {
    std::string s(f.begin(), f.end());
    auto at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    s.replace(at, from.size(), to);
    return Bytes(s.begin(), s.end());
}

TEST(ImageValidators, SRecordBrokenCopiesNameTheRecord) {
    const std::string second =
        "S32100000000B12000A3050BC7396FA718486F578950F85D2B77180EB73894E490E948";
    const auto swap = [](std::string from, std::string to) {
        return [=](Bytes& f) { f = ReplaceText(f, from, to); };
    };
    // clang-format off
    const std::vector<BrokenCopy> cases = {
        {"checksum", swap(second, second.substr(0, second.size() - 2) + "49"),
         "line 2: checksum is 0x49, should be 0x48"},
        {"missing CR", swap("E948\r\n", "E948\n"), "line 2 does not end with CR LF"},
        {"truncated", [](Bytes& f) { f.resize(f.size() - 1); }, "line 992 does not end with CR LF"},
        {"count", swap("S321000000", "S320000000"), "line 2: the byte count does not match"},
        {"hex digit", swap("S32100000000B1", "S32100000000G1"),
         "line 2: not a hexadecimal digit at column 13"},
        {"S1 record", swap("S32100000000", "S12100000000"), "line 2: S1 records are not used by the Ky"},
        {"S7 not last", [](Bytes& f) {
             const Bytes s7(f.end() - 16, f.end());
             f.insert(f.begin() + 34, s7.begin(), s7.end());
             f.resize(f.size() - 16); }, "line 2: S7 must be the last record"},
        {"no S0", [](Bytes& f) { f.erase(f.begin(), f.begin() + 34); },
         "line 1: the first record must be S0"},
        {"NUL", [](Bytes& f) { f[500] = 0; }, "the text contains a NUL byte at offset 500"},
        {"overlap", [](Bytes& f) {
             const Bytes line(f.begin() + 34, f.begin() + 34 + 72);
             f.insert(f.begin() + 34 + 72 * 5, line.begin(), line.end()); },
         "data at 0x00000000 overlaps the data from 0x00000000 to 0x0000008B"},
    };
    // clang-format on
    ExpectEachRefused(cases, SRecords(), ky::ReadSRecords);
    // Stretches that touch do not overlap.
    const std::string adjacent =
        "S00500004B5956\r\nS3090000000401020304E8\r\n"
        "S3090000000005060708DC\r\nS70500000000FA\r\n";
    const auto info = ky::ReadSRecords(Bytes(adjacent.begin(), adjacent.end()));
    EXPECT_TRUE(info) << info.Failure().What();
}

}  // namespace
