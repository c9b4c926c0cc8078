#include "firewire/IOReturn.h"

#include <array>
#include <cstdio>
#include <utility>

namespace {

constexpr std::array<std::pair<IOReturn, const char*>, 21> kNames{{
    {kIOReturnSuccess, "success"},
    {kIOReturnError, "general error"},
    {kIOReturnNoMemory, "out of memory"},
    {kIOReturnNoResources, "no resources"},
    {kIOReturnNoDevice, "device not found"},
    {kIOReturnNotPrivileged, "permission denied"},
    {kIOReturnBadArgument, "invalid argument"},
    {kIOReturnExclusiveAccess, "in use by another updater"},
    {kIOReturnUnsupported, "not supported"},
    {kIOReturnNotOpen, "device not open"},
    {kIOReturnBusy, "busy"},
    {kIOReturnTimeout, "no answer from the Ky (timed out)"},
    {kIOReturnNotReady, "not ready"},
    {kIOReturnNotPermitted, "not permitted"},
    {kIOReturnAborted, "aborted"},
    {kIOReturnNotResponding, "device not responding"},
    {kIOFireWireConflictError, "conflict error response"},
    {kIOFireWireDataError, "data error response"},
    {kIOFireWireTypeError, "type error response"},
    {kIOFireWireAddressError, "address error response"},
    {kIOFireWireBusReset, "bus reset"},
}};

}  // namespace

std::string IOReturnName(IOReturn status) {
    for (const auto& [code, name] : kNames)
        if (code == status) return name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(status));
    return buf;
}
