#pragma once

#include <memory>
#include <optional>
#include <string>

#include "base/Clock.h"
#include "base/Result.h"
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
    bool problemIsUsage = false;        // the environment asks for what cannot be
    // With KYFW_SIM_FAST=1 the simulated Ky erases at once and the pauses of
    // an update only count: tests run whole updates in milliseconds.
    std::unique_ptr<ky::FakeClock> fastClock;

    ky::Clock& DownloadClock() const {
        if (fastClock) return *fastClock;
        return ky::SystemClock();
    }

    // Once an update has ended: why the simulated Ky's state could not be
    // kept, or nothing.
    ky::Done StateKept() const { return demo ? demo->LastSave() : ky::Done(); }
};

// The simulated Ky says on `trace` why its state could not be read or kept.
BusChoice ChooseBus(bool simulate, bool simReset, const Trace& trace = {});

}  // namespace ky
