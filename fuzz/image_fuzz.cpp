// libFuzzer target: the image validators must answer every input with a
// verdict, never a crash, an out-of-bounds read or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/BitFile.h"
#include "engine/SRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const UInt8> input(data, size);
    if (const auto bit = ky::ReadBitFile(input)) {
        // A file the validator accepts must be one the download can use.
        const auto found = ky::FindConfiguration(input);
        if (!found || UInt32(found->offset) != bit->configOffset) __builtin_trap();
    }
    (void)ky::ReadSRecords(input);
    return 0;
}
