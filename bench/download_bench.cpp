// How close a whole update comes to the protocol's floor: the Ky needs a
// 1 ms pause after every command, header, block and CRC (2636 for the FPGA
// image, 562 for the MCORE image), so no update can be faster than their
// sum. Runs both downloads against the simulated Ky with an instant erase
// and real pauses, and prints elapsed / floor (target: at most 1.03).
// Also measures a plain usleep(1000) beside the pause the engine uses.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "base/Clock.h"
#include "engine/Downloader.h"
#include "sim/SimBus.h"

namespace {

using Steady = std::chrono::steady_clock;

double MeanMicros(int count, void (*pause)()) {
    const auto start = Steady::now();
    for (int i = 0; i < count; ++i) pause();
    return std::chrono::duration<double, std::micro>(Steady::now() - start).count() / count;
}

double DownloadSeconds(DOWNLOADTYPE type) {
    auto bus = kysim::SimBus::Create(ky::SystemClock());
    bus->AddKy();
    FWLib::io_service_t service;
    FWLib::GetMatchingService(*bus, {0xA27, 0x11}, service);
    DownloadUnit unit(service);
    DownloadProgress progress;
    Downloader downloader(ky::SystemClock(), progress);
    const auto start = Steady::now();
    downloader.DoDownload(&unit, type);
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    if (downloader.Error() != kIOReturnSuccess) {
        std::cerr << "download failed: " << downloader.Error() << "\n";
        std::exit(1);
    }
    return seconds;
}

}  // namespace

int main() {
    constexpr int kPauses = 500;
    const double plain = MeanMicros(kPauses, [] { usleep(1000); });
    const double precise = MeanMicros(kPauses, [] { ky::PreciseSleep(1000); });
    std::printf("pause of 1000 us, mean of %d:\n", kPauses);
    std::printf("  usleep(1000)       %8.1f us  ratio %.3f\n", plain, plain / 1000.0);
    std::printf("  PreciseSleep(1000) %8.1f us  ratio %.3f\n", precise, precise / 1000.0);

    std::ostringstream traces;  // the engine's trace lines are not part of the measurement
    auto* saved = std::cout.rdbuf(traces.rdbuf());
    const double xilinx = DownloadSeconds(fileXILINX);
    const double mcore = DownloadSeconds(fileMCORE);
    std::cout.rdbuf(saved);
    const double floor = (2636 + 562) / 1000.0;
    std::printf("update of both images against the simulated Ky (instant erase):\n");
    std::printf("  Xilinx %.3f s (floor 2.636 s)  ratio %.3f\n", xilinx, xilinx / 2.636);
    std::printf("  MCORE  %.3f s (floor 0.562 s)  ratio %.3f\n", mcore, mcore / 0.562);
    std::printf("  total  %.3f s (floor %.3f s)  ratio %.3f  (target <= 1.03)\n", xilinx + mcore,
                floor, (xilinx + mcore) / floor);
    return 0;
}
