// The download must not allocate memory while the flash is being written:
// from the header to the CRC, everything it needs is on the stack.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "engine/Downloader.h"
#include "sim/SimBus.h"
#include "support/StreamCapture.h"

namespace {

thread_local bool tCounting = false;
thread_local unsigned tAllocations = 0;

// Runs `call` with counting paused: the simulated device may allocate.
template <class F>
IOReturn Uncounted(F&& call) {
    const bool was = tCounting;
    tCounting = false;
    IOReturn status = call();
    tCounting = was;
    return status;
}

// Opens the counting window after the header and closes it at the CRC write.
class WindowDevice final : public FWLib::DeviceInterface {
public:
    explicit WindowDevice(std::unique_ptr<FWLib::DeviceInterface> inner)
        : mInner(std::move(inner)) {}
    UInt32 GetDevice() const override { return mInner->GetDevice(); }
    IOReturn Open() override {
        return Uncounted([&] { return mInner->Open(); });
    }
    void Close() override {
        Uncounted([&] { return mInner->Close(), kIOReturnSuccess; });
    }
    IOReturn Read(UInt32 d, const FWAddressStruct& a, void* b, UInt32& s, bool f,
                  UInt32 g) override {
        return Uncounted([&] { return mInner->Read(d, a, b, s, f, g); });
    }
    IOReturn Write(UInt32 d, const FWAddressStruct& a, const void* b, UInt32& s, bool f,
                   UInt32 g) override {
        IOReturn status = Uncounted([&] { return mInner->Write(d, a, b, s, f, g); });
        tCounting = true;  // the header (or a block) is out: the window is open
        return status;
    }
    IOReturn ReadQuadlet(UInt32 d, const FWAddressStruct& a, FWLib::Quadlet& v, bool f,
                         UInt32 g) override {
        return Uncounted([&] { return mInner->ReadQuadlet(d, a, v, f, g); });
    }
    IOReturn WriteQuadlet(UInt32 d, const FWAddressStruct& a, const FWLib::Quadlet& v, bool f,
                          UInt32 g) override {
        if (a.addressLo == 0xF0430010) tCounting = false;  // the CRC ends the window
        return Uncounted([&] { return mInner->WriteQuadlet(d, a, v, f, g); });
    }
    IOReturn GetBusGeneration(UInt32& g) override {
        return Uncounted([&] { return mInner->GetBusGeneration(g); });
    }

private:
    std::unique_ptr<FWLib::DeviceInterface> mInner;
};

class WindowPlugIn final : public FWLib::PlugInInterface {
public:
    explicit WindowPlugIn(std::unique_ptr<FWLib::PlugInInterface> inner)
        : mInner(std::move(inner)) {}
    IOReturn QueryInterface(std::unique_ptr<FWLib::DeviceInterface>& device) override {
        std::unique_ptr<FWLib::DeviceInterface> inner;
        IOReturn status = mInner->QueryInterface(inner);
        if (status == kIOReturnSuccess) device = std::make_unique<WindowDevice>(std::move(inner));
        return status;
    }

private:
    std::unique_ptr<FWLib::PlugInInterface> mInner;
};

class WindowService final : public FWLib::Service {
public:
    explicit WindowService(FWLib::io_service_t inner) : mInner(std::move(inner)) {}
    const FWLib::UnitInfo& Info() const override { return mInner->Info(); }
    IOReturn CreatePlugInInterface(std::unique_ptr<FWLib::PlugInInterface>& p) const override {
        std::unique_ptr<FWLib::PlugInInterface> inner;
        IOReturn status = mInner->CreatePlugInInterface(inner);
        if (status == kIOReturnSuccess) p = std::make_unique<WindowPlugIn>(std::move(inner));
        return status;
    }

private:
    FWLib::io_service_t mInner;
};

TEST(DownloadAllocations, NoneBetweenTheHeaderAndTheCrc) {
    ky::FakeClock clock;
    auto bus = kysim::SimBus::Create(clock);
    const UInt64 guid = bus->AddKy();
    FWLib::io_service_t service;
    FWLib::GetMatchingService(*bus, {0xA27, 0x11}, service);
    kytest::StreamCapture io;
    DownloadUnit unit(std::make_shared<WindowService>(service));
    DownloadProgress progress;
    for (DOWNLOADTYPE type : {fileXILINX, fileMCORE}) {
        Downloader downloader(clock, progress);
        tAllocations = 0;
        downloader.DoDownload(&unit, type);
        tCounting = false;
        ASSERT_EQ(downloader.Error(), kIOReturnSuccess);
        EXPECT_EQ(tAllocations, 0u) << "image " << type;
    }
    EXPECT_EQ(bus->Ky(guid).ProgrammedCount(), 2u);
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
