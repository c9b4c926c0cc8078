#include "engine/DownloadOutcome.h"

namespace ky {

const char* DownloadStepText(DownloadStep step) {
    static constexpr const char* kTexts[] = {"",
                                             "finding the Ky",
                                             "choosing the image",
                                             "reading the bus generation",
                                             "opening the Ky",
                                             "entering update mode",
                                             "starting the erase",
                                             "erasing",
                                             "erasing (the erase timed out after a minute)",
                                             "sending the header",
                                             "sending the block at ",
                                             "verifying the CRC",
                                             "restoring normal operation"};
    return kTexts[static_cast<int>(step)];
}

std::string ImageOutcome::StepText() const {
    if (Programmed()) return {};
    const std::string text = DownloadStepText(step);
    return step == DownloadStep::SendingBlock ? text + std::to_string(position) : text;
}

}  // namespace ky
