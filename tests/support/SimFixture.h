#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "base/Clock.h"
#include "engine/DownloadUnit.h"
#include "sim/SimBus.h"

namespace kytest {

// A simulated bus with one Ky on a clock that only counts.
class SimFixture : public ::testing::Test {
protected:
    SimFixture() : bus(kysim::SimBus::Create(clock)), guid(bus->AddKy()) {}

    FWLib::io_service_t FirstKyService() {
        FWLib::io_service_t service;
        FWLib::GetMatchingService(*bus, {0xA27, 0x11}, service);
        return service;
    }
    // An opened unit: the platform refuses transactions to one that is not.
    std::unique_ptr<DownloadUnit> MakeUnit() {
        auto unit = std::make_unique<DownloadUnit>(FirstKyService());
        EXPECT_EQ(unit->Open(), kIOReturnSuccess);
        return unit;
    }
    kysim::KyUnitModel& Ky() { return bus->Ky(guid); }

    ky::FakeClock clock;
    std::shared_ptr<kysim::SimBus> bus;
    UInt64 guid;
};

// Bytes of a quadlet value as they go on the bus.
inline std::vector<UInt8> Be32(UInt32 v) {
    return {UInt8(v >> 24), UInt8(v >> 16), UInt8(v >> 8), UInt8(v)};
}

// The 20-byte header that opens an image's data: FF FF, version 1, the
// image's size, FF to the end.
inline std::vector<UInt8> FirmwareHeader(UInt32 sizeB) {
    std::vector<UInt8> h{0xFF, 0xFF, 0x00, 0x01};
    for (UInt8 b : Be32(sizeB)) h.push_back(b);
    h.insert(h.end(), 12, 0xFF);
    return h;
}

}  // namespace kytest
