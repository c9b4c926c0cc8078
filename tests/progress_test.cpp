// The progress record's phases and its rounding: the states the update's
// worker takes it through.
#include <gtest/gtest.h>

#include "engine/DownloadProgress.h"

namespace {

struct PhaseCase {
    DL_DEVICE_TYPE type;
    float fraction;
    bool programming;  // SetPgm before Update
    UInt32 expected;
};

TEST(DownloadProgress, PhasesAndTruncation) {
    const std::vector<PhaseCase> cases = {
        {Xilinx, 0.0f, true, 40},  {Xilinx, 1.0f, true, 60},      {Xilinx, 0.5f, true, 50},
        {Xilinx, 0.99f, true, 59}, {Xilinx, 0.999999f, true, 59}, {Xilinx, 0.7f, false, 40},
        {MCORE, 0.0f, true, 80},   {MCORE, 1.0f, true, 100},      {MCORE, 0.5f, true, 90},
        {MCORE, 0.99f, true, 99},  {MCORE, 1.0f, false, 80},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " " << c.fraction << " " << c.programming);
        DownloadProgress p;
        p.SetDeviceType(c.type);
        p.SetErase();
        EXPECT_EQ(p.Get(), c.type == Xilinx ? 40u : 80u);
        if (c.programming) p.SetPgm();
        p.Update(c.fraction);
        EXPECT_EQ(p.Get(), c.expected);
    }
}

}  // namespace
