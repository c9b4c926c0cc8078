#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sim/SimBus.h"

namespace kysim {

// Faults a user can ask the simulated Ky for by name (kyfw --sim-fault),
// to see every failure path of an update.
struct NamedFault {
    const char* name;
    const char* description;  // in English: shown through ky::Tr
    bool listing = false;     // it shows in a listing too, not only in an update
};
const NamedFault* FindNamedFault(const std::string& name);
const std::vector<NamedFault>& NamedFaults();
// False when the name is not one of them.
bool ApplyNamedFault(SimBus& bus, UInt64 guid, const std::string& name);

}  // namespace kysim
