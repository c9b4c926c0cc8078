#pragma once

// What a program holds of a node on the simulated bus: the service that
// discovery finds for each of its units, the plug-in made from it and the
// device interface whose requests become the bus's transactions.

#include <memory>

#include "sim/SimBus.h"

namespace kysim {

std::shared_ptr<FWLib::Service> MakeSimService(std::shared_ptr<SimBus> bus, FWLib::UnitInfo info,
                                               UInt32 handle);

}  // namespace kysim
