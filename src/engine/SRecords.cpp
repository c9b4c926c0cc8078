#include "engine/SRecords.h"

#include <algorithm>
#include <string_view>

#include "base/Text.h"
#include "base/Translate.h"

namespace ky {

namespace {

// One S-record line, checked for syntax, count and checksum.
struct Record {
    char type = 0;
    UInt32 address = 0;
    std::vector<UInt8> data;
};

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

// The record's bytes, from the count to the checksum.
Result<std::vector<UInt8>> RecordBytes(std::string_view line) {
    std::vector<UInt8> bytes;
    for (std::size_t i = 2; i + 1 < line.size(); i += 2) {
        const int hi = HexDigitValue(line[i]), lo = HexDigitValue(line[i + 1]);
        if (hi < 0 || lo < 0)
            return Error(
                Fill(Tr("not a hexadecimal digit at column {1}"), {std::to_string(i + 1)}));
        bytes.push_back(static_cast<UInt8>(hi * 16 + lo));
    }
    if (line.size() % 2 != 0 || bytes.empty() || bytes[0] + 1u != bytes.size())
        return Error(Tr("the byte count does not match the record's length"));
    return bytes;
}

Result<Record> ParseRecord(std::string_view line) {
    if (line.size() < 4 || line[0] != 'S') return Error(Tr("not an S-record"));
    Record r{line[1], 0, {}};
    const int addressBytes = AddressBytes(r.type);
    if (addressBytes == 0)
        return Error(Fill(
            // TRANSLATORS: {1} is a record type, as S5.
            Tr("{1} records are not used by the Ky"), {"S" + std::string(1, r.type)}));
    auto read = RecordBytes(line);
    if (!read) return read.Failure();
    const std::vector<UInt8>& bytes = *read;
    if (bytes[0] < addressBytes + 1)
        return Error(Tr("the byte count is too small for the address"));
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    const UInt8 expected = static_cast<UInt8>(~sum);
    if (bytes.back() != expected)
        return Error(
            Fill(Tr("checksum is {1}, should be {2}"), {Hex(bytes.back(), 2), Hex(expected, 2)}));
    for (int i = 0; i < addressBytes; ++i) r.address = (r.address << 8) | bytes[1 + i];
    r.data.assign(bytes.begin() + 1 + addressBytes, bytes.end() - 1);
    return r;
}

// Splits the text into CR LF terminated lines.
Result<std::vector<std::string_view>> SplitLines(std::string_view text) {
    if (text.find('\0') != std::string_view::npos)
        return Error(Fill(Tr("the text contains a NUL byte at offset {1}"),
                          {std::to_string(text.find('\0'))}));
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t lf = text.find('\n', start);
        const std::string where = std::to_string(lines.size() + 1);
        if (lf == std::string_view::npos || lf == start || text[lf - 1] != '\r')
            return Error(Fill(Tr("line {1} does not end with CR LF"), {where}));
        const std::string_view line = text.substr(start, lf - 1 - start);
        if (line.find('\r') != std::string_view::npos)
            return Error(Fill(Tr("line {1} has a CR inside it"), {where}));
        lines.push_back(line);
        start = lf + 1;
    }
    return lines;
}

Done CheckOrder(const Record& r, std::size_t index, std::size_t count) {
    if ((index == 0) != (r.type == '0'))
        return Error(index == 0 ? Tr("the first record must be S0")
                                : Tr("S0 may only be the first record"));
    if ((index + 1 == count) != (r.type == '7'))
        return Error(r.type == '7' ? Tr("S7 must be the last record")
                                   : Tr("the last record must be S7"));
    return {};
}

void AddData(const Record& r, SRecordInfo& info) {
    ++info.dataRecords;
    auto& s = info.stretches;
    if (!s.empty() && s.back().address + s.back().length == r.address)
        s.back().length += static_cast<UInt32>(r.data.size());
    else
        s.push_back({r.address, static_cast<UInt32>(r.data.size())});
}

Done CheckOverlaps(std::vector<Stretch> stretches) {
    std::sort(stretches.begin(), stretches.end(),
              [](const Stretch& a, const Stretch& b) { return a.address < b.address; });
    for (std::size_t i = 1; i < stretches.size(); ++i) {
        const Stretch& before = stretches[i - 1];
        if (UInt64{before.address} + before.length > stretches[i].address)
            return Error(Fill(Tr("data at {1} overlaps the data from {2} to {3}"),
                              {Hex(stretches[i].address, 8), Hex(before.address, 8),
                               Hex(before.address + before.length - 1, 8)}));
    }
    return {};
}

// Reads one line into `info`.
Done AddRecord(std::string_view line, std::size_t index, std::size_t count, SRecordInfo& info) {
    auto r = ParseRecord(line);
    if (!r) return r.Failure();
    if (Done order = CheckOrder(*r, index, count); !order) return order;
    if (r->type == '0') info.header.assign(r->data.begin(), r->data.end());
    if (r->type == '3') AddData(*r, info);
    if (r->type == '7') info.startAddress = r->address;
    return {};
}

}  // namespace

Result<SRecordInfo> ReadSRecords(std::span<const UInt8> bytes) {
    auto lines = SplitLines({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    if (!lines) return lines.Failure();
    if (lines->size() < 3) return Error(Tr("an S0, at least one S3 and an S7 record are needed"));
    SRecordInfo info;
    for (std::size_t i = 0; i < lines->size(); ++i) {
        Done added = AddRecord((*lines)[i], i, lines->size(), info);
        // TRANSLATORS: where in a file a problem is, as "line 7: checksum is 0x12, ...".
        if (!added) return added.Failure().In(Fill(Tr("line {1}"), {std::to_string(i + 1)}));
    }
    info.records = static_cast<unsigned>(lines->size());
    info.version = NumberAfter(info.header, "_v");
    if (Done overlaps = CheckOverlaps(info.stretches); !overlaps) return overlaps.Failure();
    return info;
}

}  // namespace ky
