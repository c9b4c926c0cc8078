// libFuzzer target: --device and the text kyfw prints. The selector
// accepts or refuses with a reason; printable text holds no control
// character; JSON text never throws.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/DeviceSelector.h"
#include "cli/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto selector = kyfw::DeviceSelector::Parse(input);
    if (!selector && selector.Failure().What().empty()) __builtin_trap();
    FWLib::UnitInfo unit;
    unit.name = unit.deviceNode = input;
    if (selector) selector->Matches(unit);
    for (unsigned char c : kyfw::Printable(input))
        if (c < 0x20 || c == 0x7F) __builtin_trap();
    kyfw::JsonText({{"device", input}});
    return 0;
}
