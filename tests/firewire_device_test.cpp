// FWLib::Device's byte order and addressing are pinned where they meet a
// bus: the replayed update (its block data recorded literally), the
// download tests, and the Linux backend's requests to the kernel.
#include <gtest/gtest.h>

#include "firewire/IOReturn.h"

namespace {

TEST(IOReturnNames, KnownAndUnknownCodes) {
    EXPECT_EQ(IOReturnName(kIOReturnBusy), "busy");
    EXPECT_EQ(IOReturnName(kIOFireWireBusReset), "bus reset");
    EXPECT_EQ(IOReturnName(0x1234), "0x00001234");
}

}  // namespace
