// How the Ky's boot code learns the version of an image it has received:
// the FPGA configuration carries "KYFPGA_v<n>" near its start, the MCORE
// firmware carries "_v<n>" in the text of its S0 header record.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "base/FirmwareMarks.h"
#include "base/Text.h"
#include "sim/KyUnitModel.h"

namespace kysim {

namespace {

// The data field of the first record when it is an S0 record, as text.
std::string S0Text(std::span<const UInt8> image) {
    std::string_view text(reinterpret_cast<const char*>(image.data()), image.size());
    auto end = text.find('\r');
    if (end == std::string_view::npos || text.substr(0, 2) != "S0" || end < 10) return {};
    std::string out;
    // S0, count (2), address (4), data ..., checksum (2)
    for (std::size_t i = 8; i + 2 < end; i += 2) {
        int hi = ky::HexDigitValue(text[i]), lo = ky::HexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0) return {};
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

// One record "S<type><count><address><data><checksum>" without its line
// end: the right length for its count and a checksum that adds up.
bool GoodRecord(std::string_view record, char type) {
    if (record.size() < 4 || record[0] != 'S' || record[1] != type || record.size() % 2)
        return false;
    unsigned sum = 0;
    std::vector<unsigned> bytes;
    for (std::size_t i = 2; i < record.size(); i += 2) {
        const int hi = ky::HexDigitValue(record[i]), lo = ky::HexDigitValue(record[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<unsigned>(hi * 16 + lo));
    }
    const std::size_t addressBytes = type == '0' ? 2 : 4;
    if (bytes[0] != bytes.size() - 1 || bytes.size() < addressBytes + 2) return false;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    return ((~sum) & 0xFF) == bytes.back();
}

bool GoodSRecords(std::string_view text) {
    if (!text.ends_with("\r\n")) return false;
    std::size_t records = 0;
    bool ended = false;
    while (!text.empty()) {
        const std::size_t end = text.find("\r\n");
        const std::string_view record = text.substr(0, end);
        text.remove_prefix(end + 2);
        const char type = records == 0 ? '0' : text.empty() ? '7' : '3';
        if (ended || record.find('\n') != std::string_view::npos || !GoodRecord(record, type))
            return false;
        ended = type == '7';
        ++records;
    }
    return records >= 2 && ended;
}

}  // namespace

bool WouldStart(FlashArea area, std::span<const UInt8> flash) {
    const auto& sync = ky::kXilinxSyncWords;
    if (area == FlashArea::Xilinx)
        return flash.size() >= sync.size() && std::equal(sync.begin(), sync.end(), flash.data());
    return GoodSRecords({reinterpret_cast<const char*>(flash.data()), flash.size()});
}

std::optional<UInt16> ReadVersionMarker(FlashArea area, std::span<const UInt8> image) {
    if (area == FlashArea::Xilinx) {
        return ky::XilinxVersionIn(image);
    }
    return ky::NumberAfter(S0Text(image), "_v");
}

}  // namespace kysim
