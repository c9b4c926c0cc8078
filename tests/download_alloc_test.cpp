// The download must not allocate memory while the flash is being written:
// from the header to the CRC, everything it needs is on the stack.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "engine/Downloader.h"

namespace {

thread_local bool tCounting = false;
thread_local unsigned tAllocations = 0;

// A Ky that says yes to everything, allocating nothing: the window opens
// with the first block write (the header) and closes at the CRC write.
class StubDevice final : public FWLib::DeviceInterface {
public:
    UInt32 GetDevice() const override { return 1; }
    IOReturn Open() override { return kIOReturnSuccess; }
    void Close() override {}
    IOReturn Read(UInt32, const FWAddressStruct&, void*, UInt32&, bool, UInt32) override {
        return kIOReturnSuccess;
    }
    IOReturn Write(UInt32, const FWAddressStruct&, const void*, UInt32&, bool, UInt32) override {
        tCounting = true;
        return kIOReturnSuccess;
    }
    IOReturn ReadQuadlet(UInt32, const FWAddressStruct&, FWLib::Quadlet& v, bool, UInt32) override {
        v = {0, 0, 0, 1};  // ready, erased, verified
        return kIOReturnSuccess;
    }
    IOReturn WriteQuadlet(UInt32, const FWAddressStruct& a, const FWLib::Quadlet&, bool,
                          UInt32) override {
        if (a.addressLo == 0xF0430010) tCounting = false;  // the CRC
        return kIOReturnSuccess;
    }
    IOReturn GetBusGeneration(UInt32& g) override { return g = 1, kIOReturnSuccess; }
};

struct StubService final : FWLib::Service, FWLib::PlugInInterface {
    const FWLib::UnitInfo& Info() const override { return info; }
    IOReturn CreatePlugInInterface(std::unique_ptr<FWLib::PlugInInterface>& p) const override {
        return p = std::make_unique<StubService>(), kIOReturnSuccess;
    }
    IOReturn QueryInterface(std::unique_ptr<FWLib::DeviceInterface>& d) override {
        return d = std::make_unique<StubDevice>(), kIOReturnSuccess;
    }
    FWLib::UnitInfo info;
};

TEST(DownloadAllocations, NoneBetweenTheHeaderAndTheCrc) {
    ky::FakeClock clock;
    DownloadUnit unit(std::make_shared<StubService>());
    DownloadProgress progress;
    for (DOWNLOADTYPE type : {fileXILINX, fileMCORE}) {
        Downloader downloader(clock, progress);
        tAllocations = 0;
        const ky::ImageOutcome outcome = downloader.Download(&unit, type);
        tCounting = false;
        ASSERT_EQ(outcome.error, kIOReturnSuccess);
        EXPECT_EQ(tAllocations, 0u) << "image " << type;
    }
}

}  // namespace

void* operator new(std::size_t size) {
    if (tCounting) ++tAllocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
