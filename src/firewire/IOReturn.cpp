#include "firewire/IOReturn.h"

#include <array>
#include <cstdio>
#include <utility>

#include "base/Translate.h"

namespace {

// How a status reads in the messages that name it: "The FPGA (Xilinx)
// image failed while erasing: busy (error -536870187)".
constexpr std::array<std::pair<IOReturn, const char*>, 21> kNames{{
    // TRANSLATORS: this and the following are how a request to the Ky ended, shown
    // as "{1} (error {2})".
    {kIOReturnSuccess, N_("success")},
    {kIOReturnError, N_("general error")},
    {kIOReturnNoMemory, N_("out of memory")},
    {kIOReturnNoResources, N_("no resources")},
    {kIOReturnNoDevice, N_("device not found")},
    {kIOReturnNotPrivileged, N_("permission denied")},
    {kIOReturnBadArgument, N_("invalid argument")},
    {kIOReturnExclusiveAccess, N_("in use by another updater")},
    {kIOReturnUnsupported, N_("not supported")},
    {kIOReturnNotOpen, N_("device not open")},
    // TRANSLATORS: how the Ky or the bus answered a request, as in "failed while
    // erasing: busy (error -536870187)".
    {kIOReturnBusy, N_("busy")},
    {kIOReturnTimeout, N_("no answer from the Ky (timed out)")},
    {kIOReturnNotReady, N_("not ready")},
    {kIOReturnNotPermitted, N_("not permitted")},
    {kIOReturnAborted, N_("aborted")},
    {kIOReturnNotResponding, N_("device not responding")},
    {kIOFireWireConflictError, N_("conflict error response")},
    {kIOFireWireDataError, N_("data error response")},
    {kIOFireWireTypeError, N_("type error response")},
    {kIOFireWireAddressError, N_("address error response")},
    {kIOFireWireBusReset, N_("bus reset")},
}};

}  // namespace

std::string IOReturnEnglishName(IOReturn status) {
    for (const auto& [code, name] : kNames)
        if (code == status) return name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(status));
    return buf;
}

std::string IOReturnName(IOReturn status) {
    for (const auto& [code, name] : kNames)
        if (code == status) return ky::Tr(name);
    return IOReturnEnglishName(status);
}
