#include "engine/ImageCheck.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "engine/Downloader.h"
#include "engine/KyXilinx.h"
#include "engine/Ky_MCORE.h"

namespace kyimage {

namespace {

constexpr std::array<UInt8, 13> kBitPreamble = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                                0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
constexpr std::array<UInt8, 8> kSyncWords = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
constexpr std::size_t kMarkerWindow = 4096;

std::optional<UInt16> NumberAfter(std::string_view text, std::string_view marker) {
    auto at = text.find(marker);
    if (at == std::string_view::npos) return std::nullopt;
    unsigned value = 0, digits = 0;
    for (auto i = at + marker.size(); i < text.size() && digits < 5; ++i, ++digits) {
        if (text[i] < '0' || text[i] > '9') break;
        value = value * 10 + unsigned(text[i] - '0');
    }
    if (digits == 0 || value > 0xFFFF) return std::nullopt;
    return static_cast<UInt16>(value);
}

std::string Hex(UInt32 v, int digits = 8) {
    static const char* d = "0123456789ABCDEF";
    std::string s = "0x";
    for (int i = digits - 1; i >= 0; --i) s.push_back(d[(v >> (4 * i)) & 15]);
    return s;
}

bool Fail(std::string& problem, std::string text) {
    problem = std::move(text);
    return false;
}

UInt32 Be32(const UInt8* p) {
    return (UInt32{p[0]} << 24) | (UInt32{p[1]} << 16) | (UInt32{p[2]} << 8) | p[3];
}

// Reads key, 16-bit length and a NUL-terminated text at `pos`.
bool ReadTextField(std::span<const UInt8> f, std::size_t& pos, char key, const char* what,
                   std::string& out, std::string& problem) {
    const std::string name = std::string("field '") + key + "' (" + what + ")";
    if (pos + 3 > f.size())
        return Fail(problem, name + " is missing: the file ends at " + std::to_string(f.size()));
    if (f[pos] != UInt8(key))
        return Fail(problem, name + " expected at offset " + std::to_string(pos) + ", found key " +
                                 Hex(f[pos], 2));
    const std::size_t n = (std::size_t{f[pos + 1]} << 8) | f[pos + 2];
    pos += 3;
    if (n == 0 || pos + n > f.size())
        return Fail(problem,
                    name + " of " + std::to_string(n) + " bytes runs past the end of the file");
    if (f[pos + n - 1] != 0) return Fail(problem, name + " is not NUL-terminated");
    const char* text = reinterpret_cast<const char*>(f.data() + pos);
    out.assign(text, std::strlen(text));
    pos += n;
    return true;
}

bool CheckConfiguration(std::span<const UInt8> f, std::size_t pos, BitFileInfo& info,
                        std::string& problem) {
    if (pos + 5 > f.size() || f[pos] != 'e')
        return Fail(problem,
                    "field 'e' (configuration length) expected at offset " + std::to_string(pos));
    info.configLength = Be32(f.data() + pos + 1);
    info.configOffset = static_cast<UInt32>(pos + 5);
    const std::size_t follows = f.size() - info.configOffset;
    if (info.configLength != follows)
        return Fail(problem, "field 'e' records " + std::to_string(info.configLength) +
                                 " bytes of configuration data but " + std::to_string(follows) +
                                 " follow");
    if (follows < kSyncWords.size() ||
        !std::equal(kSyncWords.begin(), kSyncWords.end(), f.begin() + info.configOffset))
        return Fail(problem, "configuration data at offset " + std::to_string(info.configOffset) +
                                 " does not begin with the sync words FF FF FF FF AA 99 55 66");
    int offset = 0, numBytes = 0;
    if (!Downloader::ParseBit(f, offset, numBytes) || UInt32(offset) != info.configOffset)
        return Fail(problem, "configuration data at offset " + std::to_string(info.configOffset) +
                                 " lies beyond position 143, where the updater looks for it");
    auto window = f.subspan(info.configOffset, std::min(follows, kMarkerWindow));
    info.version =
        NumberAfter({reinterpret_cast<const char*>(window.data()), window.size()}, "KYFPGA_v");
    return true;
}

// One S-record line, checked for syntax, count and checksum.
struct Record {
    char type = 0;
    UInt32 address = 0;
    std::vector<UInt8> data;
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int AddressBytes(char type) {
    switch (type) {
        case '0':
            return 2;
        case '3':
        case '7':
            return 4;
        default:
            return 0;
    }
}

bool ParseRecord(std::string_view line, const std::string& where, Record& r, std::string& problem) {
    if (line.size() < 4 || line[0] != 'S') return Fail(problem, where + ": not an S-record");
    r.type = line[1];
    const int addressBytes = AddressBytes(r.type);
    if (addressBytes == 0)
        return Fail(problem,
                    where + ": S" + std::string(1, r.type) + " records are not used by the Ky");
    std::vector<UInt8> bytes;
    for (std::size_t i = 2; i + 1 < line.size(); i += 2) {
        const int hi = HexValue(line[i]), lo = HexValue(line[i + 1]);
        if (hi < 0 || lo < 0)
            return Fail(problem,
                        where + ": not a hexadecimal digit at column " + std::to_string(i + 1));
        bytes.push_back(static_cast<UInt8>(hi * 16 + lo));
    }
    if (line.size() % 2 != 0 || bytes.empty() || bytes[0] + 1u != bytes.size())
        return Fail(problem, where + ": the byte count does not match the record's length");
    if (bytes[0] < addressBytes + 1)
        return Fail(problem, where + ": the byte count is too small for the address");
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    const UInt8 expected = static_cast<UInt8>(~sum);
    if (bytes.back() != expected)
        return Fail(problem, where + ": checksum is " + Hex(bytes.back(), 2) + ", should be " +
                                 Hex(expected, 2));
    r.address = 0;
    for (int i = 0; i < addressBytes; ++i) r.address = (r.address << 8) | bytes[1 + i];
    r.data.assign(bytes.begin() + 1 + addressBytes, bytes.end() - 1);
    return true;
}

// Splits the text into CR LF terminated lines.
bool SplitLines(std::string_view text, std::vector<std::string_view>& lines, std::string& problem) {
    if (text.find('\0') != std::string_view::npos)
        return Fail(problem,
                    "the text contains a NUL byte at offset " + std::to_string(text.find('\0')));
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t lf = text.find('\n', start);
        const std::string where = "line " + std::to_string(lines.size() + 1);
        if (lf == std::string_view::npos || lf == start || text[lf - 1] != '\r')
            return Fail(problem, where + " does not end with CR LF");
        const std::string_view line = text.substr(start, lf - 1 - start);
        if (line.find('\r') != std::string_view::npos)
            return Fail(problem, where + " has a CR inside it");
        lines.push_back(line);
        start = lf + 1;
    }
    return true;
}

bool CheckOrder(const Record& r, std::size_t index, std::size_t count, const std::string& where,
                std::string& problem) {
    if ((index == 0) != (r.type == '0'))
        return Fail(problem, where + (index == 0 ? ": the first record must be S0"
                                                 : ": S0 may only be the first record"));
    if ((index + 1 == count) != (r.type == '7'))
        return Fail(problem, where + (r.type == '7' ? ": S7 must be the last record"
                                                    : ": the last record must be S7"));
    return true;
}

void AddData(const Record& r, SRecordInfo& info) {
    ++info.dataRecords;
    auto& s = info.stretches;
    if (!s.empty() && s.back().address + s.back().length == r.address)
        s.back().length += static_cast<UInt32>(r.data.size());
    else
        s.push_back({r.address, static_cast<UInt32>(r.data.size())});
}

bool CheckOverlaps(std::vector<Stretch> stretches, std::string& problem) {
    std::sort(stretches.begin(), stretches.end(),
              [](const Stretch& a, const Stretch& b) { return a.address < b.address; });
    for (std::size_t i = 1; i < stretches.size(); ++i) {
        const Stretch& before = stretches[i - 1];
        if (UInt64{before.address} + before.length > stretches[i].address)
            return Fail(problem, "data at " + Hex(stretches[i].address) +
                                     " overlaps the data from " + Hex(before.address) + " to " +
                                     Hex(before.address + before.length - 1));
    }
    return true;
}

}  // namespace

bool CheckBitFile(std::span<const UInt8> f, BitFileInfo& info, std::string& problem) {
    info = {};
    if (f.size() < kBitPreamble.size() ||
        !std::equal(kBitPreamble.begin(), kBitPreamble.end(), f.begin()))
        return Fail(problem, "the .bit preamble (00 09 0F F0 ... 00 00 01) is missing");
    std::size_t pos = kBitPreamble.size();
    return ReadTextField(f, pos, 'a', "design name", info.design, problem) &&
           ReadTextField(f, pos, 'b', "part name", info.part, problem) &&
           ReadTextField(f, pos, 'c', "date", info.date, problem) &&
           ReadTextField(f, pos, 'd', "time", info.time, problem) &&
           CheckConfiguration(f, pos, info, problem);
}

bool CheckSRecords(std::span<const UInt8> bytes, SRecordInfo& info, std::string& problem) {
    info = {};
    std::vector<std::string_view> lines;
    if (!SplitLines({reinterpret_cast<const char*>(bytes.data()), bytes.size()}, lines, problem))
        return false;
    if (lines.size() < 3)
        return Fail(problem, "an S0, at least one S3 and an S7 record are needed");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string where = "line " + std::to_string(i + 1);
        Record r;
        if (!ParseRecord(lines[i], where, r, problem) ||
            !CheckOrder(r, i, lines.size(), where, problem))
            return false;
        if (r.type == '0') info.header.assign(r.data.begin(), r.data.end());
        if (r.type == '3') AddData(r, info);
        if (r.type == '7') info.startAddress = r.address;
    }
    info.records = static_cast<unsigned>(lines.size());
    info.version = NumberAfter(info.header, "_v");
    return CheckOverlaps(info.stretches, problem);
}

UInt16 DeviceCrc(std::span<const UInt8> data) {
    UInt16 crc = 0;
    const std::size_t whole = data.size() / 4;
    crc = Downloader::updateCRC16(crc, data.data(), static_cast<UInt32>(whole));
    if (data.size() % 4) {
        UInt8 last[4] = {};
        std::memcpy(last, data.data() + whole * 4, data.size() % 4);
        crc = Downloader::updateCRC16(crc, last, 1);
    }
    return crc;
}

bool CheckBuiltInImages(std::string& problem) {
    BitFileInfo bit;
    SRecordInfo srec;
    std::string why;
    if (!CheckBitFile({KyXilinxData, KyXilinxDataSizeBytes}, bit, why)) {
        problem = "the built-in FPGA image is broken: " + why;
        return false;
    }
    if (!CheckSRecords({KyMCORE06data, KyMCORE06dataSize}, srec, why)) {
        problem = "the built-in MCORE image is broken: " + why;
        return false;
    }
    return true;
}

}  // namespace kyimage
