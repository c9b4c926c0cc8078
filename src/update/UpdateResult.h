#pragma once

#include <optional>
#include <string>

#include "engine/Downloader.h"
#include "update/KyIdentity.h"

namespace ky {

// What an update did to each image. An image that failed leaves the Ky in
// need of another update; it must never be reported as programmed.
struct UpdateResult {
    bool deviceFound = false;
    ImageOutcome xilinx, mcore;  // each image's error and where it failed
    std::string failure;         // why the update could not run or be kept, if so
    bool started = true;         // false: nothing was written (`failure` says why)
    bool stopped = false;        // not started: a quit came before the first write
    // After an image failed: the Ky's versions read under the hold, when
    // it could be read.
    std::optional<KyInfo> versionsRead;

    bool Succeeded() const {
        return deviceFound && xilinx.Programmed() && mcore.Programmed() && failure.empty();
    }
};

// The Ky left the bus during the update.
inline bool LeftTheBus(const UpdateResult& result) {
    return result.xilinx.error == kIOReturnNoDevice || result.mcore.error == kIOReturnNoDevice;
}

}  // namespace ky
