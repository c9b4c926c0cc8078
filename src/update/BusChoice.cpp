#include "update/BusChoice.h"

#include <cstdlib>

#include "base/Paths.h"
#include "firewire/LinuxBus.h"

namespace ky {

namespace {

void ChooseSimulated(BusChoice& choice, bool simReset, const Trace& trace) {
    auto options = kysim::DemoKy::FromEnvironment();
    options.trace = trace;
    options.reset = options.reset || simReset;
    if (options.problem.empty() && options.directory.empty()) {
        if (auto base = ky::StateDirectory())
            options.directory = *base / "simulated-ky";
        else
            options.problem = base.Failure().What();
    }
    if (!options.problem.empty()) {
        choice.problem = options.problem;
        choice.problemIsUsage = true;
        return;
    }
    if (const char* fast = std::getenv("KYFW_SIM_FAST"); fast && std::string(fast) == "1") {
        options.eraseMicros = 0;
        choice.fastClock = std::make_unique<ky::FakeClock>();
        options.clock = choice.fastClock.get();  // the Ky counts the same pauses
    }
    choice.demo.emplace(options);
    choice.problem = choice.demo->Problem();
    if (choice.problem.empty()) choice.bus = choice.demo->Bus();
}

}  // namespace

BusChoice ChooseBus(bool simulate, bool simReset, const Trace& trace) {
    BusChoice choice;
    if (simulate)
        ChooseSimulated(choice, simReset, trace);
    else
        choice.bus = FWLib::OpenLinuxBus();
    return choice;
}

}  // namespace ky
