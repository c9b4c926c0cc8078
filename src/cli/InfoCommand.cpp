#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Text.h"
#include "engine/ImageCheck.h"
#include "engine/KyXilinx.h"
#include "engine/Ky_MCORE.h"

namespace kyfw {

namespace {

using kyimage::BitFileInfo;
using kyimage::SRecordInfo;

struct Images {
    std::span<const UInt8> bit{KyXilinxData, KyXilinxDataSizeBytes};
    std::span<const UInt8> srec{KyMCORE06data, KyMCORE06dataSize};
    BitFileInfo bitInfo;
    SRecordInfo srecInfo;
    std::string bitProblem, srecProblem;
    bool bitOk = kyimage::CheckBitFile(bit, bitInfo, bitProblem);
    bool srecOk = kyimage::CheckSRecords(srec, srecInfo, srecProblem);

    UInt16 BitCrc() const { return kyimage::DeviceCrc(bit.subspan(bitInfo.configOffset)); }
    UInt16 SrecCrc() const { return kyimage::DeviceCrc(srec); }
};

std::string Hex(UInt32 v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

std::string Version(const std::optional<UInt16>& v) {
    return v ? std::to_string(*v) : std::string("unknown");
}

void Line(std::ostream& out, const char* label, const std::string& value) {
    out << "  " << label << std::string(21 - std::string(label).size(), ' ') << value << "\n";
}

void PrintBit(std::ostream& out, const Images& im) {
    out << "FPGA configuration (Xilinx .bit)\n";
    Line(out, "size:", std::to_string(im.bit.size()) + " bytes");
    if (!im.bitOk) return Line(out, "problem:", im.bitProblem);
    const BitFileInfo& b = im.bitInfo;
    Line(out, "version:", Version(b.version));
    Line(out, "design:", b.design);
    Line(out, "part:", b.part);
    Line(out, "date:", b.date);
    Line(out, "time:", b.time);
    Line(out, "configuration data:",
         "offset " + std::to_string(b.configOffset) + ", length " + std::to_string(b.configLength) +
             " bytes");
    Line(out, "CRC-16 sent:", Hex(im.BitCrc(), 4));
}

std::string StretchText(const kyimage::Stretch& s) {
    return Hex(s.address, 8) + "-" + Hex(s.address + s.length - 1, 8) + " (" +
           std::to_string(s.length) + " bytes)";
}

void PrintSrec(std::ostream& out, const Images& im) {
    out << "MCORE firmware (Motorola S-records)\n";
    Line(out, "size:", std::to_string(im.srec.size()) + " bytes");
    if (!im.srecOk) return Line(out, "problem:", im.srecProblem);
    const SRecordInfo& s = im.srecInfo;
    Line(out, "version:", Version(s.version));
    Line(out, "header:", s.header);
    Line(out, "records:",
         std::to_string(s.records) + " (" + std::to_string(s.dataRecords) + " S3 data records)");
    for (std::size_t i = 0; i < s.stretches.size(); ++i)
        Line(out, i == 0 ? "address stretches:" : "", StretchText(s.stretches[i]));
    Line(out, "start address:", Hex(s.startAddress, 8));
    Line(out, "CRC-16 sent:", Hex(im.SrecCrc(), 4));
}

nlohmann::json BitJson(const Images& im) {
    nlohmann::json j{{"kind", "xilinx-bit"}, {"size", im.bit.size()}, {"valid", im.bitOk}};
    if (!im.bitOk) return j["problem"] = im.bitProblem, j;
    const BitFileInfo& b = im.bitInfo;
    j.update({{"version", b.version ? nlohmann::json(*b.version) : nlohmann::json()},
              {"design", b.design},
              {"part", b.part},
              {"date", b.date},
              {"time", b.time},
              {"config_offset", b.configOffset},
              {"config_length", b.configLength},
              {"crc16", Hex(im.BitCrc(), 4)}});
    return j;
}

nlohmann::json SrecJson(const Images& im) {
    nlohmann::json j{{"kind", "mcore-srec"}, {"size", im.srec.size()}, {"valid", im.srecOk}};
    if (!im.srecOk) return j["problem"] = im.srecProblem, j;
    const SRecordInfo& s = im.srecInfo;
    nlohmann::json stretches = nlohmann::json::array();
    for (const auto& st : s.stretches)
        stretches.push_back({{"address", Hex(st.address, 8)}, {"length", st.length}});
    j.update({{"version", s.version ? nlohmann::json(*s.version) : nlohmann::json()},
              {"header", s.header},
              {"records", s.records},
              {"data_records", s.dataRecords},
              {"stretches", stretches},
              {"start_address", Hex(s.startAddress, 8)},
              {"crc16", Hex(im.SrecCrc(), 4)}});
    return j;
}

}  // namespace

int RunInfo(Context& context) {
    const Images images;
    if (context.options.json) {
        Emit(context, {{"command", "info"}, {"images", {BitJson(images), SrecJson(images)}}});
    } else {
        PrintBit(context.out, images);
        PrintSrec(context.out, images);
    }
    return images.bitOk && images.srecOk ? kExitDone : kExitRefused;
}

}  // namespace kyfw
