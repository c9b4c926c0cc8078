// The CPU time of one idle refresh tick of the window's controller (find
// the Ky, open its unit, read versions and serial number, close), against
// the simulated Ky and through the Linux backend against an emulated Ky,
// side by side, and each against the tick period of 500 ms; and the CPU
// time of the window's in-use check with 100, 1000 and 5000 processes.
// With --short, fewer ticks and 100 and 500 processes.
// Run as: umockdev-wrapper build/bench/tick_bench [--short]
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Deadline.h"
#include "firewire/LinuxBus.h"
#include "sim/SimBus.h"
#include "support/DeviceInUse.h"
#include "support/EmulatedKy.h"
#include "update/kyfirmwareupdate.h"

namespace {

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// CPU seconds of one tick, the mean of `ticks`; false if the Ky was not found.
bool TickCpu(std::shared_ptr<FWLib::Bus> bus, int ticks, double& seconds) {
    bool found = true;
    {
        ZRV::PTA::CKyFirmwareUpdate controller(std::move(bus));
        const double start = CpuSeconds();
        for (int i = 0; i < ticks; ++i) found = controller.IsFound() && found;
        seconds = (CpuSeconds() - start) / ticks;
    }
    return found;
}

namespace fs = std::filesystem;

// A made-up /proc of `count` processes with 20 open files each; one of them
// holds the Ky's device file open, one is a video application.
fs::path FakeProc(unsigned count, const fs::path& node) {
    const fs::path root = fs::temp_directory_path() / ("kyfw-tickproc-" + std::to_string(getpid()) +
                                                       "-" + std::to_string(count));
    fs::remove_all(root);
    for (unsigned pid = 100; pid < 100 + count; ++pid) {
        const fs::path dir = root / std::to_string(pid);
        fs::create_directories(dir / "fd");
        std::ofstream(dir / "comm") << (pid == 100 + count / 2 ? "kdenlive" : "bash") << "\n";
        for (int fd = 0; fd < 20; ++fd)
            fs::create_symlink(fd == 7 && pid == 100 + count - 1 ? node : fs::path("/dev/null"),
                               dir / "fd" / std::to_string(fd));
    }
    return root;
}

// CPU seconds of the window's in-use check: the first look at every
// process, then the mean of an idle tick.
void InUseCpu(unsigned count, int ticks, const fs::path& node, double& first, double& tick) {
    const fs::path root = FakeProc(count, node);
    ky::InUseWatch watch(root);
    double start = CpuSeconds();
    const auto finding = watch.Check(node);
    first = CpuSeconds() - start;
    if (!finding || finding->kind != ky::InUse::Kind::DeviceUser)
        kybench::Fail("tick_bench: the in-use check did not find the Ky's user");
    start = CpuSeconds();
    for (int i = 0; i < ticks; ++i) watch.Check(node);
    tick = (CpuSeconds() - start) / ticks;
    fs::remove_all(root);
}

void ReportInUse(bool brief) {
    const fs::path node = fs::temp_directory_path() / ("kyfw-ticknode-" + std::to_string(getpid()));
    std::ofstream(node) << "";
    double tick100 = 0;
    const std::vector<unsigned> counts =
        brief ? std::vector<unsigned>{100, 500} : std::vector<unsigned>{100, 1000, 5000};
    for (unsigned count : counts) {
        double first = 0, tick = 0;
        InUseCpu(count, brief ? 10 : 50, node, first, tick);
        if (count == 100) tick100 = tick;
        std::printf(
            "in-use check, %4u processes x 20 files: first look %8.3f ms, idle tick %7.3f ms"
            "  ratio to 500 ms %.5f\n",
            count, first * 1e3, tick * 1e3, tick / 0.5);
        if (count == counts.back())
            std::printf("idle tick %4u / 100 processes          ratio %.1f\n", count,
                        tick / tick100);
    }
    fs::remove(node);
}

}  // namespace

// The in-use check is measured in a child without umockdev's preload,
// which would slow every file operation down.
void ReportInUseOutsideUmockdev(const char* self, bool brief) {
    constexpr double kLimit = 600;  // making 5000 processes takes about 100 s on 2 cores
    const pid_t pid = fork();
    if (pid == 0) {
        unsetenv("LD_PRELOAD");
        execl(self, self, "--in-use", brief ? "--short" : nullptr, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (!kybench::WaitUntil(pid, kybench::After(kLimit), status)) {
        kybench::EndChild(pid, 10);
        kybench::Fail("tick_bench: the in-use check's measurement did not end within 600 s");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        kybench::Fail("tick_bench: the in-use check's measurement failed");
}

int main(int argc, char** argv) {
    const bool brief = kybench::ShortMode(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "--in-use") {
        ReportInUse(brief);
        return 0;
    }
    ReportInUseOutsideUmockdev(argv[0], brief);
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev")) {
        std::cerr << "run under umockdev: umockdev-wrapper tick_bench\n";
        return 64;
    }
    kytest::EmulatedKyBed bed;
    auto sim = kysim::SimBus::Create();
    sim->AddKy();
    double simTick = 0, cdevTick = 0;
    const bool simFound = TickCpu(sim, brief ? 50 : 500, simTick);
    const bool cdevFound = TickCpu(std::make_shared<FWLib::LinuxBus>(), brief ? 20 : 200, cdevTick);
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
