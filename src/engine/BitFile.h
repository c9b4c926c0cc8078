#pragma once

// The Xilinx .bit file the FPGA image comes in: a preamble, the text fields
// 'a' to 'd' (design, part, date, time), the field 'e' with the length of
// the configuration data, then that data, beginning with the sync words.

#include <optional>
#include <span>
#include <string>

#include "base/Result.h"
#include "firewire/FWTypes.h"

namespace ky {

struct BitFileInfo {
    std::string design, part, date, time;
    UInt32 configOffset = 0;        // where the configuration data begins
    UInt32 configLength = 0;        // as the 'e' field records it
    std::optional<UInt16> version;  // from "KYFPGA_v<n>" in the configuration data
};

// A well-formed .bit file, summarised; otherwise the field at fault.
Result<BitFileInfo> ReadBitFile(std::span<const UInt8> file);

// Where the updater takes the configuration data from: its sync words among
// the first 144 positions, and the length the file records in the four
// bytes before them. None when the words are not there, or stand too early
// to be preceded by a length.
struct Configuration {
    int offset = 0;
    int length = 0;
};
std::optional<Configuration> FindConfiguration(std::span<const UInt8> file);

// The 32-bit big-endian number in the four bytes before position `at`; none
// before position 4.
std::optional<int> LengthBefore(const UInt8* file, int at);

}  // namespace ky
