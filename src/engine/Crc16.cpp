#include "engine/Crc16.h"

#include <cstring>

namespace ky {

UInt16 Crc16Quads(UInt16 crc, const void* buffer, UInt32 numQuads) {
    // Four bits at a time, without a table.
    const UInt8* bytes = static_cast<const UInt8*>(buffer);
    UInt32 crc16 = crc;
    for (UInt32 q = 0; q < numQuads; ++q, bytes += 4) {
        const UInt32 quad = (UInt32{bytes[0]} << 24) | (UInt32{bytes[1]} << 16) |
                            (UInt32{bytes[2]} << 8) | UInt32{bytes[3]};
        for (int shift = 28; shift >= 0; shift -= 4) {
            const UInt32 sum = ((crc16 >> 12) ^ (quad >> shift)) & 0xF;
            crc16 = ((crc16 << 4) ^ (sum << 12) ^ (sum << 5) ^ sum) & 0xFFFF;
        }
    }
    return static_cast<UInt16>(crc16);
}

UInt16 DeviceCrc(std::span<const UInt8> data) {
    const std::size_t whole = data.size() / 4;
    UInt16 crc = Crc16Quads(0, data.data(), static_cast<UInt32>(whole));
    if (data.size() % 4) {
        UInt8 last[4] = {};
        std::memcpy(last, data.data() + whole * 4, data.size() % 4);
        crc = Crc16Quads(crc, last, 1);
    }
    return crc;
}

}  // namespace ky
