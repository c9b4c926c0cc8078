#pragma once

#include <memory>
#include <optional>
#include <string>

#include "firewire/FWPlatform.h"
#include "sim/SimState.h"

namespace ky {

// The bus a program works on: the real FireWire bus, or with --simulate
// the simulated Ky (kept between runs). Nothing falls back to the
// simulator by itself.
struct BusChoice {
    std::shared_ptr<FWLib::Bus> bus;
    std::optional<kysim::DemoKy> demo;  // set with --simulate
    std::string problem;                // why there is no bus, when there is none

    // Keeps the simulated Ky's state for the next run; false with a reason.
    bool Save(std::string& error) const { return !demo || demo->Save(&error); }
};

BusChoice ChooseBus(bool simulate, bool simReset);

}  // namespace ky
