// The progress record's phases and its rounding: the states the update's
// worker takes it through.
#include <gtest/gtest.h>

#include <tuple>

#include "engine/DownloadProgress.h"

namespace {

TEST(DownloadProgress, PhasesAndTruncation) {
    // The image, the fraction written, whether SetPgm comes before Update, the value.
    const std::vector<std::tuple<DL_DEVICE_TYPE, float, bool, UInt32>> cases = {
        {Xilinx, 0.0f, true, 40},  {Xilinx, 1.0f, true, 60},      {Xilinx, 0.5f, true, 50},
        {Xilinx, 0.99f, true, 59}, {Xilinx, 0.999999f, true, 59}, {Xilinx, 0.7f, false, 40},
        {MCORE, 0.0f, true, 80},   {MCORE, 1.0f, true, 100},      {MCORE, 0.5f, true, 90},
        {MCORE, 0.99f, true, 99},  {MCORE, 1.0f, false, 80},
    };
    for (const auto& [type, fraction, programming, expected] : cases) {
        SCOPED_TRACE(testing::Message() << type << " " << fraction << " " << programming);
        DownloadProgress p;
        p.SetDeviceType(type);
        p.SetErase();
        EXPECT_EQ(p.Get(), type == Xilinx ? 40u : 80u);
        if (programming) p.SetPgm();
        p.Update(fraction);
        EXPECT_EQ(p.Get(), expected);
    }
}

TEST(DownloadProgress, FollowsTheStepsItIsGiven) {
    // MCORE first, its erase a tenth: the record knows no weights of its own.
    DownloadProgress p(
        {}, {{{MCORE, false, 10}, {MCORE, true, 50}, {Xilinx, false, 0}, {Xilinx, true, 40}}});
    std::vector<UInt32> seen;
    for (DL_DEVICE_TYPE image : {MCORE, Xilinx}) {
        p.SetDeviceType(image);
        p.SetErase();
        seen.push_back(p.Get());
        p.SetPgm();
        p.Update(0.5f);
        seen.push_back(p.Get());
    }
    EXPECT_EQ(seen, (std::vector<UInt32>{10, 35, 60, 80}));
}

}  // namespace
