#pragma once

// Checks of the built-in images before any flash is touched: each validator
// says in plain words what is wrong with a broken image, and summarises a
// good one for `kyfw info`.

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firewire/FWTypes.h"

namespace kyimage {

struct BitFileInfo {
    std::string design, part, date, time;
    UInt32 configOffset = 0;        // where the configuration data begins
    UInt32 configLength = 0;        // as the 'e' field records it
    std::optional<UInt16> version;  // from "KYFPGA_v<n>" in the configuration data
};

struct Stretch {
    UInt32 address = 0;
    UInt32 length = 0;
};

struct SRecordInfo {
    unsigned records = 0;            // all records, S0 and S7 included
    unsigned dataRecords = 0;        // S3 records
    std::vector<Stretch> stretches;  // contiguous address ranges, in file order
    UInt32 startAddress = 0;
    std::string header;             // the S0 record's text
    std::optional<UInt16> version;  // from "_v<n>" in the header text
};

// True for a well-formed .bit file; otherwise `problem` names the field.
bool CheckBitFile(std::span<const UInt8> file, BitFileInfo& info, std::string& problem);
// True for well-formed S-record text as the Ky takes it; otherwise `problem`
// names the record.
bool CheckSRecords(std::span<const UInt8> text, SRecordInfo& info, std::string& problem);

// CRC-16/XMODEM of `data` zero-padded to whole quadlets: the value the Ky is
// sent after the data.
UInt16 DeviceCrc(std::span<const UInt8> data);

// Both built-in images; false with a message naming the image and the fault.
bool CheckBuiltInImages(std::string& problem);

}  // namespace kyimage
