#pragma once

#include <cstdint>

// Plain integer types with the widths the device protocol is written in.
using UInt8 = std::uint8_t;
using UInt16 = std::uint16_t;
using UInt32 = std::uint32_t;
using UInt64 = std::uint64_t;
using SInt16 = std::int16_t;
using SInt32 = std::int32_t;

// Status of every device operation: 0 is success, anything else an error
// code from the table in IOReturn.h, passed on unchanged.
using IOReturn = std::int32_t;

// A FireWire address: a node and a 48-bit offset in its address space.
struct FWAddressStruct {
    UInt16 nodeID = 0;
    UInt16 addressHi = 0;
    UInt32 addressLo = 0;

    FWAddressStruct() = default;
    FWAddressStruct(UInt16 h, UInt32 l) : nodeID(0), addressHi(h), addressLo(l) {}

    UInt64 Offset() const { return (UInt64{addressHi} << 32) | addressLo; }
    friend bool operator==(const FWAddressStruct&, const FWAddressStruct&) = default;
};
using FWAddress = FWAddressStruct;
