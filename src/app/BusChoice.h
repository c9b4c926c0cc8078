#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/Clock.h"
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
    // With KYFW_SIM_FAST=1 the simulated Ky erases at once and the pauses of
    // an update only count: tests run whole updates in milliseconds.
    std::unique_ptr<ky::FakeClock> fastClock;

    ky::Clock& DownloadClock() const {
        if (fastClock) return *fastClock;
        return ky::SystemClock();
    }

    // Keeps the simulated Ky's state for the next run; false with a reason.
    bool Save(std::string& error) const { return !demo || demo->Save(&error); }
};

BusChoice ChooseBus(bool simulate, bool simReset);

}  // namespace ky
