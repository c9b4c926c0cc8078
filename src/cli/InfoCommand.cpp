#include <nlohmann/json.hpp>

#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Text.h"
#include "engine/BitFile.h"
#include "engine/Crc16.h"
#include "engine/FirmwareImage.h"
#include "engine/SRecords.h"

namespace kyfw {

namespace {

using ky::BitFileInfo;
using ky::Hex;
using ky::SRecordInfo;

struct Images {
    std::span<const UInt8> bit = BuiltInImages().xilinx;
    std::span<const UInt8> srec = BuiltInImages().mcore;
    ky::Result<BitFileInfo> bitInfo = ky::ReadBitFile(bit);
    ky::Result<SRecordInfo> srecInfo = ky::ReadSRecords(srec);

    UInt16 BitCrc() const { return ky::DeviceCrc(bit.subspan(bitInfo->configOffset)); }
    UInt16 SrecCrc() const { return ky::DeviceCrc(srec); }
};

std::string Version(const std::optional<UInt16>& v) {
    return v ? std::to_string(*v) : std::string("unknown");
}

void Line(std::ostream& out, const char* label, const std::string& value) {
    out << ky::LabelledLine(label, value, 21);
}

void PrintBit(std::ostream& out, const Images& im) {
    out << "FPGA configuration (Xilinx .bit)\n";
    Line(out, "size:", std::to_string(im.bit.size()) + " bytes");
    if (!im.bitInfo) return Line(out, "problem:", im.bitInfo.Failure().What());
    const BitFileInfo& b = *im.bitInfo;
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

std::string StretchText(const ky::Stretch& s) {
    return Hex(s.address, 8) + "-" + Hex(s.address + s.length - 1, 8) + " (" +
           std::to_string(s.length) + " bytes)";
}

void PrintSrec(std::ostream& out, const Images& im) {
    out << "MCORE firmware (Motorola S-records)\n";
    Line(out, "size:", std::to_string(im.srec.size()) + " bytes");
    if (!im.srecInfo) return Line(out, "problem:", im.srecInfo.Failure().What());
    const SRecordInfo& s = *im.srecInfo;
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
    nlohmann::json j{{"kind", "xilinx-bit"}, {"size", im.bit.size()}, {"valid", im.bitInfo.Ok()}};
    if (!im.bitInfo) return j["problem"] = im.bitInfo.Failure().What(), j;
    const BitFileInfo& b = *im.bitInfo;
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
    nlohmann::json j{{"kind", "mcore-srec"}, {"size", im.srec.size()}, {"valid", im.srecInfo.Ok()}};
    if (!im.srecInfo) return j["problem"] = im.srecInfo.Failure().What(), j;
    const SRecordInfo& s = *im.srecInfo;
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
    return images.bitInfo && images.srecInfo ? kExitDone : kExitRefused;
}

}  // namespace kyfw
