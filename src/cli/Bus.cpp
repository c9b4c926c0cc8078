#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Text.h"

namespace kyfw {

int OpenBus(Context& context) {
    context.choice = ky::ChooseBus(context.options.simulate, context.options.simReset);
    context.bus = context.choice.bus;
    if (context.bus) return -1;
    context.err << "kyfw: " << Printable(context.choice.problem) << "\n";
    return context.choice.problemIsUsage ? kExitUsage : kExitNoKy;
}

}  // namespace kyfw
