#pragma once

// What became of one image's download, and where it failed.

#include <string>

#include "firewire/IOReturn.h"

namespace ky {

// The steps of one image's download, in order. A failed download records
// the step it failed at; the words for it (DownloadStepText, in English,
// with {1} for a block's offset) are those of its messages and the JSON:
// "erasing", "sending the block at 1482".
enum class DownloadStep {
    None,  // nothing failed
    FindingKy,
    ChoosingImage,
    ReadingGeneration,
    Opening,
    EnteringUpdateMode,
    StartingErase,  // from here the Ky may have begun to erase its flash
    Erasing,
    EraseTimedOut,
    SendingHeader,
    SendingBlock,
    VerifyingCrc,
    RestoringNormal,
};
const char* DownloadStepText(DownloadStep step);

// What became of one image: its error (0: programmed and verified) and,
// when it failed, where.
struct ImageOutcome {
    IOReturn error = kIOReturnNotReady;
    DownloadStep step = DownloadStep::None;
    int position = -1;  // the block's offset in the image, when sending a block

    bool Programmed() const { return error == kIOReturnSuccess; }
    // The Ky was told to erase the image's flash: what it held may be gone.
    bool FlashTouched() const { return !Programmed() && step >= DownloadStep::StartingErase; }
    // "sending the block at 1482", in the user's language; empty when
    // nothing failed.
    std::string StepText() const;
};

}  // namespace ky
