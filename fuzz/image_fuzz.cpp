// libFuzzer target: the image validators must answer every input with a
// verdict, never a crash, an out-of-bounds read or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "engine/Downloader.h"
#include "engine/ImageCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const UInt8> input(data, size);
    std::string problem;
    kyimage::BitFileInfo bit;
    if (kyimage::CheckBitFile(input, bit, problem)) {
        // A file the validator accepts must be one the download can use.
        int offset = 0, numBytes = 0;
        if (!Downloader::ParseBit(input, offset, numBytes) || UInt32(offset) != bit.configOffset)
            __builtin_trap();
    }
    kyimage::SRecordInfo srec;
    kyimage::CheckSRecords(input, srec, problem);
    return 0;
}
