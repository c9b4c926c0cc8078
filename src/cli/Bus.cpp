#include "cli/Context.h"

namespace kyfw {

bool OpenBus(Context& context) {
    if (context.options.simulate) {
        auto options = kysim::DemoKy::FromEnvironment();
        options.reset = options.reset || context.options.simReset;
        context.demo.emplace(options);
        context.bus = context.demo->Bus();
        return true;
    }
    context.err << "kyfw: this build has no FireWire backend for the real bus yet; "
                   "use --simulate for the simulated Ky\n";
    return false;
}

}  // namespace kyfw
