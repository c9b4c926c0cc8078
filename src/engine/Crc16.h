#pragma once

// The CRC-16 the Ky checks an image against.

#include <span>

#include "firewire/FWTypes.h"

namespace ky {

// CRC-16 (polynomial 0x1021, most significant bit first) of `numQuads`
// 32-bit words, each taken big-endian from the buffer's bytes, continued
// from `crc`: from 0 it is CRC-16/XMODEM of the bytes.
UInt16 Crc16Quads(UInt16 crc, const void* buffer, UInt32 numQuads);

// CRC-16/XMODEM of `data` zero-padded to whole quadlets: the value the Ky is
// sent after the data.
UInt16 DeviceCrc(std::span<const UInt8> data);

}  // namespace ky
