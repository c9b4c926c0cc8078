// The progress record's phases and its rounding.
#include <gtest/gtest.h>

#include "engine/DownloadProgress.h"
#include "support/StreamCapture.h"

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

TEST(DownloadProgress, ResetKeepsTheDeviceType) {
    DownloadProgress p;
    EXPECT_EQ(p.Get(), 0u);
    EXPECT_EQ(p.DeviceType(), Xilinx);
    p.SetDeviceType(MCORE);
    p.SetErase();
    p.Reset();
    EXPECT_EQ(p.Get(), 0u);
    p.SetErase();
    EXPECT_EQ(p.Get(), 80u);
    // SetPgm without SetErase adds its stretch to the base after a reset.
    p.Reset();
    p.SetPgm();
    p.Update(1.0f);
    EXPECT_EQ(p.Get(), 20u);
}

TEST(DownloadProgress, UnknownDeviceTypeChangesNothing) {
    kytest::StreamCapture io;
    DownloadProgress p;
    p.SetErase();
    p.SetPgm();
    p.Update(0.5f);
    p.SetDeviceType(static_cast<DL_DEVICE_TYPE>(2));
    p.SetErase();
    p.SetPgm();
    EXPECT_EQ(io.Err(), "Invalid device type\nInvalid device type\n");
    EXPECT_EQ(p.Get(), 50u);
    p.Update(1.0f);
    EXPECT_EQ(p.Get(), 60u);  // the Xilinx stretch still stands
}

}  // namespace
