#pragma once

// What the Ky's firmware images carry that both the updater and the
// simulated Ky read.

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "base/Text.h"

namespace ky {

// The first 8 bytes of Xilinx configuration data: the dummy word and the
// synchronisation word. The updater finds the data to send by them in the
// .bit file, and the FPGA starts only from flash that begins with them.
inline constexpr std::array<std::uint8_t, 8> kXilinxSyncWords = {0xFF, 0xFF, 0xFF, 0xFF,
                                                                 0xAA, 0x99, 0x55, 0x66};

// The configuration's version: the number after "KYFPGA_v" within its
// first 4096 bytes.
inline std::optional<std::uint16_t> XilinxVersionIn(std::span<const std::uint8_t> configuration) {
    const auto window = configuration.first(std::min<std::size_t>(configuration.size(), 4096));
    return NumberAfter({reinterpret_cast<const char*>(window.data()), window.size()}, "KYFPGA_v");
}

}  // namespace ky
