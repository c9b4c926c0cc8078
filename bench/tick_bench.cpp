// The CPU time of one idle refresh tick of the window's controller (find
// the Ky, open its unit, read versions and serial number, close), against
// the simulated Ky and through the Linux backend against an emulated Ky,
// side by side, and each against the tick period of 500 ms.
// Run as: umockdev-wrapper build/bench/tick_bench
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "app/kyfirmwareupdate.h"
#include "firewire/LinuxBus.h"
#include "sim/SimBus.h"
#include "support/EmulatedKy.h"

namespace {

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// CPU seconds of one tick, the mean of `ticks`; false if the Ky was not found.
bool TickCpu(std::shared_ptr<FWLib::Bus> bus, int ticks, double& seconds) {
    std::ostringstream quiet;
    auto* savedOut = std::cout.rdbuf(quiet.rdbuf());
    auto* savedErr = std::cerr.rdbuf(quiet.rdbuf());
    bool found = true;
    {
        ZRV::PTA::CKyFirmwareUpdate controller(std::move(bus));
        const double start = CpuSeconds();
        for (int i = 0; i < ticks; ++i) found = controller.IsFound() && found;
        seconds = (CpuSeconds() - start) / ticks;
    }
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    return found;
}

}  // namespace

int main() {
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev")) {
        std::cerr << "run under umockdev: umockdev-wrapper tick_bench\n";
        return 64;
    }
    kytest::EmulatedKyBed bed;
    auto sim = kysim::SimBus::Create();
    sim->AddKy();
    double simTick = 0, cdevTick = 0;
    const bool simFound = TickCpu(sim, 500, simTick);
    const bool cdevFound = TickCpu(std::make_shared<FWLib::LinuxBus>(), 200, cdevTick);
    if (!simFound || !cdevFound) {
        std::cerr << "the Ky was not found (simulated " << simFound << ", emulated " << cdevFound
                  << ")\n";
        return 1;
    }
    std::printf("idle tick, CPU time, simulated Ky:       %8.3f ms  ratio to 500 ms %.6f\n",
                simTick * 1e3, simTick / 0.5);
    std::printf("idle tick, CPU time, /dev/fw1 emulated:  %8.3f ms  ratio to 500 ms %.6f\n",
                cdevTick * 1e3, cdevTick / 0.5);
    std::printf("emulated / simulated                     ratio %.1f\n", cdevTick / simTick);
    return 0;
}
