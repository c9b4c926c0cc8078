#include <nlohmann/json.hpp>

#include "base/Translate.h"
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
    // TRANSLATORS: an image's version that it does not tell.
    return v ? std::to_string(*v) : std::string(ky::Tr("unknown"));
}

void Line(ky::LabelledLines& lines, const char* label, const std::string& value) {
    lines.Add(label, value);
}

// A heading, and under it the image's rows with their values in one column.
void Print(std::ostream& out, const char* heading, void (*rows)(ky::LabelledLines&, const Images&),
           const Images& im) {
    ky::LabelledLines lines(21);
    rows(lines, im);
    out << heading << "\n" << lines.Text();
}

std::string Bytes(std::size_t n) {
    return ky::Fill(ky::TrN("{1} byte", "{1} bytes", n), {std::to_string(n)});
}

void BitRows(ky::LabelledLines& out, const Images& im) {
    Line(out, ky::Tr("size:"), Bytes(im.bit.size()));
    if (!im.bitInfo) return Line(out, ky::Tr("problem:"), im.bitInfo.Failure().What());
    const BitFileInfo& b = *im.bitInfo;
    Line(out, ky::Tr("version:"), Version(b.version));
    // TRANSLATORS: the name of the FPGA design in a Xilinx .bit file.
    Line(out, ky::Tr("design:"), b.design);
    // TRANSLATORS: the FPGA part a Xilinx .bit file is made for.
    Line(out, ky::Tr("part:"), b.part);
    Line(out, ky::Tr("date:"), b.date);
    Line(out, ky::Tr("time:"), b.time);
    const char* data =
        // TRANSLATORS: {1} and {2} count bytes.
        ky::TrN("offset {1}, length {2} byte", "offset {1}, length {2} bytes", b.configLength);
    Line(out, ky::Tr("configuration data:"),
         ky::Fill(data, {std::to_string(b.configOffset), std::to_string(b.configLength)}));
    Line(out, ky::Tr("CRC-16 sent:"), Hex(im.BitCrc(), 4));
}

std::string StretchText(const ky::Stretch& s) {
    return Hex(s.address, 8) + "-" + Hex(s.address + s.length - 1, 8) + " (" + Bytes(s.length) +
           ")";
}

void SrecRows(ky::LabelledLines& out, const Images& im) {
    Line(out, ky::Tr("size:"), Bytes(im.srec.size()));
    if (!im.srecInfo) return Line(out, ky::Tr("problem:"), im.srecInfo.Failure().What());
    const SRecordInfo& s = *im.srecInfo;
    Line(out, ky::Tr("version:"), Version(s.version));
    // TRANSLATORS: the header record of an S-record file.
    Line(out, ky::Tr("header:"), s.header);
    const char* records =
        // TRANSLATORS: {1} counts all records of an S-record file, {2} those with data.
        ky::TrN("{1} ({2} S3 data record)", "{1} ({2} S3 data records)", s.dataRecords);
    Line(out, ky::Tr("records:"),
         ky::Fill(records, {std::to_string(s.records), std::to_string(s.dataRecords)}));
    for (std::size_t i = 0; i < s.stretches.size(); ++i)
        Line(out, i == 0 ? ky::Tr("address stretches:") : "", StretchText(s.stretches[i]));
    Line(out, ky::Tr("start address:"), Hex(s.startAddress, 8));
    Line(out, ky::Tr("CRC-16 sent:"), Hex(im.SrecCrc(), 4));
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
        Print(context.out, ky::Tr("FPGA configuration (Xilinx .bit)"), BitRows, images);
        Print(context.out, ky::Tr("MCORE firmware (Motorola S-records)"), SrecRows, images);
    }
    return images.bitInfo && images.srecInfo ? kExitDone : kExitRefused;
}

}  // namespace kyfw
