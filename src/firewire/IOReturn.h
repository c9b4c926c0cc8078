#pragma once

#include <string>

#include "firewire/FWTypes.h"

// The status codes of the FireWire access layer. The common codes keep their
// IOKit values (kIOReturnError is 0xE00002BC), which users quote from logs;
// response codes from the device are kIOFireWireResponseBase + the IEEE
// 1394 rcode.
inline constexpr IOReturn kIOReturnSuccess = 0;

constexpr IOReturn IOKitError(UInt32 code) {
    return static_cast<IOReturn>(0xE0000000u | code);
}

inline constexpr IOReturn kIOReturnError = IOKitError(0x2BC);
inline constexpr IOReturn kIOReturnNoMemory = IOKitError(0x2BD);
inline constexpr IOReturn kIOReturnNoResources = IOKitError(0x2BE);
inline constexpr IOReturn kIOReturnNoDevice = IOKitError(0x2C0);
inline constexpr IOReturn kIOReturnNotPrivileged = IOKitError(0x2C1);
inline constexpr IOReturn kIOReturnBadArgument = IOKitError(0x2C2);
inline constexpr IOReturn kIOReturnExclusiveAccess = IOKitError(0x2C5);
inline constexpr IOReturn kIOReturnUnsupported = IOKitError(0x2C7);
inline constexpr IOReturn kIOReturnNotOpen = IOKitError(0x2CD);
inline constexpr IOReturn kIOReturnBusy = IOKitError(0x2D5);
inline constexpr IOReturn kIOReturnTimeout = IOKitError(0x2D6);
inline constexpr IOReturn kIOReturnNotReady = IOKitError(0x2D8);
inline constexpr IOReturn kIOReturnNotPermitted = IOKitError(0x2E2);
inline constexpr IOReturn kIOReturnAborted = IOKitError(0x2EB);
inline constexpr IOReturn kIOReturnNotResponding = IOKitError(0x2ED);

// Response codes of a completed transaction (IEEE 1394 rcodes).
inline constexpr IOReturn kIOFireWireResponseBase = IOKitError(0x8010);
inline constexpr IOReturn kIOFireWireConflictError = kIOFireWireResponseBase + 4;
inline constexpr IOReturn kIOFireWireDataError = kIOFireWireResponseBase + 5;
inline constexpr IOReturn kIOFireWireTypeError = kIOFireWireResponseBase + 6;
inline constexpr IOReturn kIOFireWireAddressError = kIOFireWireResponseBase + 7;
// The bus was reset since the generation the request carried.
inline constexpr IOReturn kIOFireWireBusReset = kIOFireWireResponseBase + 16;

// A short readable name for a status ("busy", "bus reset", "0x00001234"
// for codes this layer does not know), in the user's language.
std::string IOReturnName(IOReturn status);
// The same always in English, for trace lines.
std::string IOReturnEnglishName(IOReturn status);
