// The window's own costs, measured side by side against their targets:
//  - memory: its refresh tick driven without waiting, a day of ticks (two
//    a second) against the simulated Ky as the program keeps it; the growth
//    of the resident size against 1 MB, and per 10,000 ticks;
//  - responsiveness: the longest gap of a 10 ms timer on the window's
//    thread from the click on Upgrade until the update has ended, with 100
//    and 3,000 processes holding 20 files each, and with a system bus that
//    never answers; against 100 ms;
//  - the idle tick's CPU time with 300 processes, against 2.5 ms.
// With --short: 4,000 ticks after 2,000 to settle, the update with 300
// processes in place of 3,000, fewer ticks timed.
// Run as: build/bench/window_bench [--short] [ticks [memory]]
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
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
#include "sim/SimBus.h"
#include "update/BusChoice.h"
#include "window/KyFirmwareUpdateDialog.h"

namespace {

namespace fs = std::filesystem;

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

long RssKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// A made-up /proc of `count` processes with 20 open files each.
fs::path FakeProc(unsigned count, const fs::path& dir) {
    const fs::path root = dir / ("proc-" + std::to_string(count));
    for (unsigned pid = 100; pid < 100 + count; ++pid) {
        const fs::path p = root / std::to_string(pid);
        fs::create_directories(p / "fd");
        std::ofstream(p / "comm") << "bash\n";
        for (int fd = 0; fd < 20; ++fd)
            fs::create_symlink("/dev/null", p / "fd" / std::to_string(fd));
    }
    return root;
}

// One window on its own description, as the program makes it.
struct Window {
    explicit Window(CKyFirmwareUpdateDialog::Environment environment) {
        IBNibRef nib = nullptr;
        if (CreateNibReference("main", &nib) != noErr ||
            CreateWindowFromNib(nib, "MainWindow", &window) != noErr) {
            std::cerr << "cannot load the window (set KYFW_UI_DIR)\n";
            std::exit(1);
        }
        DisposeNibReference(nib);
        dialog = std::make_unique<CKyFirmwareUpdateDialog>(window, std::move(environment));
        ShowWindow(window);
    }
    ~Window() {
        dialog.reset();
        DisposeWindow(window);
    }
    WindowRef window = nullptr;
    std::unique_ptr<CKyFirmwareUpdateDialog> dialog;
};

// What the short mode makes smaller.
struct Sizes {
    long ticks = 172'800, settle = 20'000;
    unsigned manyProcesses = 3000;
    int timedTicks = 500;
};

constexpr Sizes kShort{4'000, 2'000, 300, 50};

void Memory(long ticks, long settle, const fs::path& dir) {
    setenv("KYFW_SIM_STATE", (dir / "sim").c_str(), 1);
    ky::BusChoice choice = ky::ChooseBus(true, true);
    Window w({choice.bus, &choice.DownloadClock(), {}, {}, {}});
    // The first ticks and the first paint page in code and fill the
    // allocator's pools and the window's backing store (about 1.5 MB,
    // once); what comes after is what a day costs.
    for (long i = 1; i <= settle; ++i) {
        w.dialog->TimerEventHandler(nullptr);
        if (i % 10000 == 0) QCoreApplication::processEvents();
    }
    const long start = RssKiB();
    for (long i = 1; i <= ticks; ++i) {
        w.dialog->TimerEventHandler(nullptr);
        if (i % 10000 == 0) QCoreApplication::processEvents();
    }
    const long growth = RssKiB() - start;
    std::printf(
        "idle window, %ld ticks: RSS %ld -> %ld KiB, growth %ld KiB (%.2f KiB per 10,000 ticks)"
        "  ratio to 1 MB %.3f\n",
        ticks, start, start + growth, growth, growth * 10000.0 / double(ticks), growth / 1024.0);
}

// A system bus that takes the connection and never answers.
int SilentBus(const fs::path& socket) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0)
        std::exit(1);
    return fd;
}

// The longest gap of a 10 ms timer from the click to the end of the update.
void Gap(const std::string& what, const fs::path& procRoot) {
    constexpr int kLimitMs = 20000;
    auto bus = kysim::SimBus::Create();
    bus->AddKy();
    ky::FakeClock clock;  // instant pauses: the update's own time is not measured
    Window w({bus, &clock, procRoot, {}, {}});
    SetAlertResponder([](const AlertRequest&) -> SInt16 { return 2; });  // stay open
    w.dialog->TimerEventHandler(nullptr);
    QElapsedTimer since;
    qint64 longest = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout,
                     [&] { longest = std::max(longest, since.restart()); });
    QEventLoop loop;
    QTimer done;
    QObject::connect(&done, &QTimer::timeout, [&] {
        if (w.dialog->State() == WAITFORINPUT) loop.quit();
    });
    w.window->findChild<QAbstractButton*>("updateButton")->click();
    since.start();
    beat.start(10);
    done.start(5);
    QTimer::singleShot(kLimitMs, &loop, &QEventLoop::quit);
    loop.exec();
    SetAlertResponder(nullptr);
    if (w.dialog->State() != WAITFORINPUT)
        kybench::Fail("window_bench: the update with " + what + " did not end within 20 s");
    std::printf("click to end of update, %-34s longest gap %4lld ms  ratio to 100 ms %.2f\n",
                what.c_str(), static_cast<long long>(longest), double(longest) / 100.0);
}

void TickCost(int ticks, const fs::path& procRoot) {
    auto bus = kysim::SimBus::Create();
    bus->AddKy();
    Window w({bus, &ky::SystemClock(), procRoot, {}, {}});
    for (int i = 0; i < 20; ++i) w.dialog->TimerEventHandler(nullptr);
    const double start = CpuSeconds();
    for (int i = 0; i < ticks; ++i) w.dialog->TimerEventHandler(nullptr);
    const double tick = (CpuSeconds() - start) / ticks;
    std::printf("idle tick, 300 processes x 20 files: CPU %.3f ms  ratio to 2.5 ms %.3f\n",
                tick * 1e3, tick * 1e3 / 2.5);
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("KYFW_UI_DIR", KY_UI_DIR, 0);
    QApplication application(argc, argv);
    Sizes sizes = kybench::ShortMode(argc, argv) ? kShort : Sizes{};
    std::vector<std::string> args;  // what Qt has left, but --short
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) != "--short") args.push_back(argv[i]);
    if (!args.empty()) sizes.ticks = std::atol(args[0].c_str());
    const bool memoryOnly = args.size() > 1 && args[1] == "memory";
    const fs::path dir =
        fs::temp_directory_path() / ("kyfw-window-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream quiet("/dev/null");  // what the window says on standard error
    std::streambuf* out = std::cout.rdbuf(quiet.rdbuf());
    std::streambuf* err = std::cerr.rdbuf(quiet.rdbuf());
    if (memoryOnly) {
        Memory(sizes.ticks, sizes.settle, dir);
        std::cout.rdbuf(out);
        std::cerr.rdbuf(err);
        fs::remove_all(dir);
        return 0;
    }
    const fs::path proc300 = FakeProc(300, dir), proc100 = FakeProc(100, dir),
                   procMany =
                       sizes.manyProcesses == 300 ? proc300 : FakeProc(sizes.manyProcesses, dir);
    const std::string many = std::to_string(sizes.manyProcesses) + " processes x 20 files:";
    TickCost(sizes.timedTicks, proc300);
    Gap("100 processes x 20 files:", proc100);
    Gap(many, procMany);
    const int silent = SilentBus(dir / "bus");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (dir / "bus").string()).c_str(), 1);
    Gap("100 processes, silent system bus:", proc100);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    close(silent);
    Memory(sizes.ticks, sizes.settle, dir);
    std::cerr.rdbuf(err);
    std::cout.rdbuf(out);
    fs::remove_all(dir);
    return 0;
}
