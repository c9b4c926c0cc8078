// libFuzzer target: the simulated Ky's state file must be read whole or
// refused with a reason, and what is read must be written back the same.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/SimState.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto state = kysim::ParseDemoState(input);
    if (!state) {
        if (state.Failure().What().empty()) __builtin_trap();  // a refusal always says why
        return 0;
    }
    const auto again = kysim::ParseDemoState(kysim::FormatDemoState(*state));
    if (!again || again->flash != state->flash || again->identity.serial != state->identity.serial)
        __builtin_trap();
    return 0;
}
