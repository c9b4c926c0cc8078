#pragma once

#include <array>
#include <cstdint>

namespace ky {

// The first 8 bytes of Xilinx configuration data: the dummy word and the
// synchronisation word. The updater finds the data to send by them in the
// .bit file, and the FPGA starts only from flash that begins with them.
inline constexpr std::array<std::uint8_t, 8> kXilinxSyncWords = {0xFF, 0xFF, 0xFF, 0xFF,
                                                                 0xAA, 0x99, 0x55, 0x66};

}  // namespace ky
