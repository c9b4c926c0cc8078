#include "app/BusChoice.h"

#include <cstdlib>

#include "firewire/LinuxBus.h"

namespace ky {

BusChoice ChooseBus(bool simulate, bool simReset) {
    BusChoice choice;
    if (simulate) {
        auto options = kysim::DemoKy::FromEnvironment();
        options.reset = options.reset || simReset;
        if (const char* fast = std::getenv("KYFW_SIM_FAST"); fast && std::string(fast) == "1") {
            options.eraseMicros = 0;
            choice.fastClock = std::make_unique<ky::FakeClock>();
        }
        choice.demo.emplace(options);
        choice.bus = choice.demo->Bus();
        return choice;
    }
    choice.bus = FWLib::OpenLinuxBus(choice.problem);
    return choice;
}

}  // namespace ky
