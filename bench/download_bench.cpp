// How close a whole update comes to the protocol's floor: the Ky needs a
// 1 ms pause after every command, header, block and CRC (2636 for the FPGA
// image, 562 for the MCORE image), so no update can be faster than their
// sum. Runs both downloads against the simulated Ky with an instant erase
// and real pauses, and prints elapsed / floor (target: at most 1.03 idle,
// 1.10 with every core busy), beside the pause the engine uses and a plain
// usleep(1000), on an idle machine and with one busy loop per core that
// the benchmark starts and ends itself. With --short, fewer pauses and one
// update each way beside the recorder.
// Run as: download_bench [--short]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include "Deadline.h"
#include "base/Clock.h"
#include "engine/Downloader.h"
#include "firewire/Recording.h"
#include "sim/SimBus.h"

namespace {

using Steady = std::chrono::steady_clock;

double MeanMicros(int count, void (*pause)()) {
    const auto start = Steady::now();
    for (int i = 0; i < count; ++i) pause();
    return std::chrono::duration<double, std::micro>(Steady::now() - start).count() / count;
}

// With a recorder, every transaction is also written to a recording.
double DownloadSeconds(DOWNLOADTYPE type, std::shared_ptr<FWLib::Recorder> recorder = nullptr) {
    auto sim = kysim::SimBus::Create(ky::SystemClock());
    sim->Ky(sim->AddKy()).Behaviour().eraseMicros = 0;  // the erase is not what is measured
    std::shared_ptr<FWLib::Bus> bus = sim;
    if (recorder) bus = FWLib::RecordingBus(bus, recorder);
    FWLib::io_service_t service;
    FWLib::GetMatchingService(*bus, {0xA27, 0x11}, service);
    DownloadUnit unit(service);
    DownloadProgress progress;
    Downloader downloader(ky::SystemClock(), progress);
    const auto start = Steady::now();
    const ky::ImageOutcome outcome = downloader.Download(&unit, type);
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    if (!outcome.Programmed()) {
        std::cerr << "download failed: " << outcome.error << "\n";
        std::exit(1);
    }
    return seconds;
}

[[noreturn]] void Spin() {
    for (unsigned long n = 0;; ++n) asm volatile("" : "+r"(n));
}

// One busy loop per core, in child processes ended by their process IDs.
class BusyLoops {
public:
    BusyLoops() {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < cores; ++i) {
            const pid_t pid = fork();
            if (pid == 0) Spin();
            mPids.push_back(pid);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ~BusyLoops() {
        for (pid_t pid : mPids) kill(pid, SIGKILL);
        for (pid_t pid : mPids) waitpid(pid, nullptr, 0);
    }
    BusyLoops(const BusyLoops&) = delete;
    BusyLoops& operator=(const BusyLoops&) = delete;

private:
    std::vector<pid_t> mPids;
};

constexpr double kFloor = (2636 + 562) / 1000.0;

double UpdateSeconds(std::shared_ptr<FWLib::Recorder> recorder = nullptr) {
    return DownloadSeconds(fileXILINX, recorder) + DownloadSeconds(fileMCORE, recorder);
}

void Measure(const char* load, bool brief) {
    const int pauses = brief ? 50 : 500;
    const double plain = MeanMicros(pauses, [] { usleep(1000); });
    const double precise = MeanMicros(pauses, [] { ky::PreciseSleep(1000); });
    const double update = UpdateSeconds();
    std::printf(
        "%-7s pause of 1000 us: usleep %.3f  PreciseSleep %.3f   "
        "update of both images %.3f s / %.3f s = %.3f\n",
        load, plain / 1000.0, precise / 1000.0, update, kFloor, update / kFloor);
}

// The same update with every transaction recorded (kyfw --record).
void MeasureRecorded(bool brief) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("kyfw-bench-" + std::to_string(getpid()) + ".jsonl");
    auto created = FWLib::Recorder::Create(file, {"download_bench"});
    if (!created) kybench::Fail("download_bench: no recording: " + created.Failure().What());
    const auto recorder = *created;
    // Best of three each, taken in turns: one update varies by more than
    // the recording costs.
    const int runs = brief ? 1 : 3;
    double plain = 1e9, recorded = 1e9;
    for (int i = 0; i < runs; ++i) {
        plain = std::min(plain, UpdateSeconds());
        recorded = std::min(recorded, UpdateSeconds(recorder));
    }
    (void)recorder->Finish();  // the file's size is what is measured
    std::printf(
        "idle    update without / with a recording (best of %d; %ju bytes an update): %.3f / %.3f, "
        "difference %.4f\n",
        runs, static_cast<std::uintmax_t>(std::filesystem::file_size(file) / runs), plain / kFloor,
        recorded / kFloor, (recorded - plain) / kFloor);
    std::filesystem::remove(file);
}

}  // namespace

int main(int argc, char** argv) {
    const bool brief = kybench::ShortMode(argc, argv);
    std::printf("ratios to the floor (targets: update at most 1.03 idle, 1.10 loaded)\n");
    Measure("idle", brief);
    MeasureRecorded(brief);
    {
        BusyLoops loops;
        Measure("loaded", brief);
    }
    return 0;
}
