#include "cli/Context.h"

namespace kyfw {

bool OpenBus(Context& context) {
    context.choice = ky::ChooseBus(context.options.simulate, context.options.simReset);
    context.bus = context.choice.bus;
    if (!context.bus) context.err << "kyfw: " << context.choice.problem << "\n";
    return context.bus != nullptr;
}

}  // namespace kyfw
