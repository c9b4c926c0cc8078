#pragma once

#include <string>
#include <vector>

#include "update/kyfirmwareupdate.h"

namespace ky {

// Why no Ky can be updated, in words for the user and as a code for
// programs: no FireWire controller, no Ky among the nodes on the bus, a Ky
// this user may not open, or a Ky that another updater holds.
struct NoKyReason {
    std::string code;  // "no-controller", "no-ky", "no-access", "in-use", "not-usable"
    std::string text;
    std::vector<FWLib::UnitInfo> nodes;  // with "no-ky": the nodes that are there
};

// `check` is what became of the Ky unit found on `bus` (`unit`), or
// NotFound when there was none; `processes` names another updater.
NoKyReason ExplainNoKy(FWLib::Bus& bus, KyCheck check, const FWLib::UnitInfo& unit,
                       const ProcessTable& processes);

// What became of a unit whose device interface could not be made, from
// the backend's status: NoAccess when this user may not open it.
KyCheck CheckUnopenedUnit(IOReturn status);

// "fw1: GUID 0x..., Vendor Model": a node in a reason's list.
std::string NodeText(const FWLib::UnitInfo& node);

}  // namespace ky
