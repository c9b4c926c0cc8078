#include "app/BusChoice.h"

#include "firewire/LinuxBus.h"

namespace ky {

BusChoice ChooseBus(bool simulate, bool simReset) {
    BusChoice choice;
    if (simulate) {
        auto options = kysim::DemoKy::FromEnvironment();
        options.reset = options.reset || simReset;
        choice.demo.emplace(options);
        choice.bus = choice.demo->Bus();
        return choice;
    }
    choice.bus = FWLib::OpenLinuxBus(choice.problem);
    return choice;
}

}  // namespace ky
