#pragma once

// The Motorola S-record text the MCORE firmware comes in, as the Ky takes
// it: an S0 header, S3 data records, an S7 start address, each line ending
// in CR LF.

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/Result.h"
#include "firewire/FWTypes.h"

namespace ky {

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

// Well-formed S-record text, summarised; otherwise the record at fault.
Result<SRecordInfo> ReadSRecords(std::span<const UInt8> text);

}  // namespace ky
