#include "engine/DownloadOutcome.h"

#include "base/Translate.h"

namespace ky {

const char* DownloadStepText(DownloadStep step) {
    // What the update was doing when an image failed: "The FPGA (Xilinx)
    // image failed while erasing: ...".
    static constexpr const char* kTexts[] = {
        "",
        N_("finding the Ky"),
        N_("choosing the image"),
        N_("reading the bus generation"),
        N_("opening the Ky"),
        N_("entering update mode"),
        N_("starting the erase"),
        N_("erasing"),
        N_("erasing (the erase timed out after a minute)"),
        N_("sending the header"),
        // TRANSLATORS: {1} is the block's offset in the image, as 4938.
        N_("sending the block at {1}"),
        N_("verifying the CRC"),
        N_("restoring normal operation"),
    };
    return kTexts[static_cast<int>(step)];
}

std::string ImageOutcome::StepText() const {
    if (Programmed()) return {};
    return Fill(Tr(DownloadStepText(step)), {std::to_string(position)});
}

}  // namespace ky
