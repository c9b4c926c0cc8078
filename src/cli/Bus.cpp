#include "cli/Context.h"
#include "cli/ExitStatus.h"
#include "cli/Text.h"

namespace kyfw {

std::optional<ExitStatus> OpenBus(Context& context, std::string& problem) {
    context.choice =
        ky::ChooseBus(context.options.simulate, context.options.simReset, context.trace);
    context.bus = context.choice.bus;
    if (context.bus) return std::nullopt;
    problem = context.choice.problem;
    return context.choice.problemIsUsage ? kExitUsage : kExitNoKy;
}

}  // namespace kyfw
