#pragma once

#include "firewire/LinuxBus.h"

namespace FWLib {

// A unit found in sysfs, as a service whose device interface talks to its
// node through the node's device file.
io_service_t MakeLinuxService(UnitInfo info, const LinuxBusOptions& options);

}  // namespace FWLib
