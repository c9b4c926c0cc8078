// libFuzzer target: a recording is read whole or refused with the line
// that is wrong, never a crash or a read past a buffer; what is read can be
// replayed without one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "firewire/Replay.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto recording = FWLib::ParseRecording(input);
    if (!recording) {
        if (recording.Failure().What().rfind("line ", 0) != 0)
            __builtin_trap();  // the line is named
        return 0;
    }
    auto bus = FWLib::MakeReplayBus(recording->events, false);
    std::vector<FWLib::io_service_t> services;
    bus->GetMatchingServices({0xA27, 0x11}, services);
    for (const auto& s : services) {
        std::unique_ptr<FWLib::PlugInInterface> plugIn;
        std::unique_ptr<FWLib::DeviceInterface> device;
        if (s->CreatePlugInInterface(plugIn) != 0 || plugIn->QueryInterface(device) != 0 || !device)
            continue;
        UInt32 generation = 0;
        FWLib::Quadlet q{};
        device->GetBusGeneration(generation);
        device->Open();
        device->ReadQuadlet(1, FWAddressStruct(0xFFFF, 0xF0430004), q, false, generation);
        UInt8 block[8];
        UInt32 n = sizeof block;
        device->Read(1, FWAddressStruct(0xFFFF, 0xF0430220), block, n, false, generation);
        device->Close();
    }
    if (bus->RecordedWait()) {
        const ky::RestartWait wait = bus->ReplayRestart();
        wait.clock->NowMicros();
        wait.stop();
    }
    return 0;
}
