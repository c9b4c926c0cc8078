#pragma once

// The Ky's two images: which is which, the ones built into the program, and
// whether they are fit to send.

#include <span>

#include "base/Result.h"
#include "firewire/FWTypes.h"

// Which built-in image a download works on.
enum DOWNLOADTYPE : UInt32 { fileMCORE = 0, fileXILINX = 1 };
// The same two images in the Ky's own order, the reverse: the update command
// that erases an image and the progress record's phases count this way.
enum DL_DEVICE_TYPE : UInt32 { Xilinx = 0, MCORE = 1 };

namespace ky {

// The one place where the two orders meet.
constexpr DL_DEVICE_TYPE DeviceImage(DOWNLOADTYPE type) {
    return type == fileXILINX ? Xilinx : MCORE;
}
// "Xilinx" or "MCORE".
constexpr const char* ImageName(DL_DEVICE_TYPE image) {
    return image == Xilinx ? "Xilinx" : "MCORE";
}

// Both built-in images: a failure names the image and the fault.
Done CheckBuiltInImages();

}  // namespace ky

// The images a Downloader sends: the built-in ones, or others for tests.
struct FirmwareImages {
    std::span<const UInt8> xilinx;  // a .bit file
    std::span<const UInt8> mcore;   // S-record text
};
FirmwareImages BuiltInImages();
