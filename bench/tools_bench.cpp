// What a user of the two programs waits for and pays, measured side by side:
//  - kyfw update against the simulated Ky (instant erase, real pauses), as
//    a whole process, against the protocol floor of 3198 pauses of 1 ms;
//  - kyfw's peak memory during an update, against kyfw info;
//  - the window's time from start to the end of its first look at the Ky
//    (offscreen), against the refresh period.
// Every program is waited for until a deadline, and the bench fails naming
// what did not come. One run of each is already short: --short is taken
// and changes nothing.
// Run as: tools_bench [--short] KYFW GUI
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "Deadline.h"

namespace {

using kybench::After;
using kybench::Fail;
using kybench::Steady;

// How long each program may take: many times what it takes on a busy machine.
constexpr double kUpdateSeconds = 60, kInfoSeconds = 20, kWindowSeconds = 30, kEndSeconds = 10;

// The window's first look at the Ky has ended when its probe lets the unit
// go; with --verbose the engine's trace is on its standard error.
constexpr const char* kFirstLookEnded = "Dtor DownloadUnit\n";

struct Child {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
};

// Runs a program with its output discarded; wall time and peak memory.
Child RunProgram(const std::string& what, const std::vector<std::string>& argv,
                 const std::vector<std::string>& env, double limit) {
    const auto start = Steady::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
        kybench::Exec(argv, env);
    }
    int status = 0;
    rusage usage{};
    if (!kybench::WaitUntil(pid, After(limit), status, &usage)) {
        kybench::EndChild(pid, kEndSeconds);
        Fail("tools_bench: " + what + " did not end within " + std::to_string(int(limit)) + " s");
    }
    return {std::chrono::duration<double>(Steady::now() - start).count(), usage.ru_maxrss,
            WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// Starts the window with its trace on standard error and waits for the end
// of its first look at the Ky.
double WindowFirstLook(const std::string& gui, const std::vector<std::string>& env) {
    int err[2];
    if (pipe(err) != 0) Fail("tools_bench: no pipe for the window's standard error");
    const auto start = Steady::now();
    const pid_t pid = fork();
    if (pid == 0) {
        close(err[0]);
        dup2(err[1], 2);
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        kybench::Exec({gui, "--simulate", "--verbose", "-platform", "offscreen"}, env);
    }
    close(err[1]);
    std::string seen;
    const bool came = kybench::ReadUntil(err[0], kFirstLookEnded, After(kWindowSeconds), seen);
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    kybench::EndChild(pid, kEndSeconds);
    close(err[0]);
    if (!came)
        Fail("tools_bench: the window gave no \"Dtor DownloadUnit\" trace line on standard error " +
             (seconds < kWindowSeconds ? std::string("before its output ended")
                                       : "within " + std::to_string(int(kWindowSeconds)) + " s") +
             "; it said:\n" + seen);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> programs;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) != "--short") programs.push_back(argv[i]);
    if (programs.size() != 2) {
        std::cerr << "usage: tools_bench [--short] KYFW GUI\n";
        return 64;
    }
    const std::string kyfw = programs[0], gui = programs[1];
    static const auto dir =
        std::filesystem::temp_directory_path() / ("kyfw-bench-" + std::to_string(getpid()));
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);  // also when the bench fails
    });
    // The programs see no other process, as in the tests (give it the tests'
    // own kyfw and window, tests/programs): a video application running
    // beside the bench would stop the update.
    std::filesystem::create_directories(dir / "proc");
    const std::vector<std::string> env = {
        "KYFW_SIM_STATE=" + (dir / "sim").string(), "XDG_STATE_HOME=" + (dir / "xdg").string(),
        "KYTEST_PROCFS=" + (dir / "proc").string(), "KYFW_SIM_ERASE_MS=0"};
    const Child update = RunProgram(
        "kyfw update", {kyfw, "--simulate", "--sim-reset", "update", "--yes"}, env, kUpdateSeconds);
    const Child info = RunProgram("kyfw info", {kyfw, "info"}, env, kInfoSeconds);
    if (update.status != 0 || info.status != 0)
        Fail("tools_bench: kyfw update ended with " + std::to_string(update.status) +
             ", kyfw info with " + std::to_string(info.status));
    const double look = WindowFirstLook(gui, env);

    std::printf("kyfw update, whole process:   %.3f s (floor 3.198 s)  ratio %.3f  (exit %d)\n",
                update.seconds, update.seconds / 3.198, update.status);
    std::printf("kyfw peak memory:             update %ld KiB, info %ld KiB  ratio %.2f\n",
                update.maxRssKiB, info.maxRssKiB,
                double(update.maxRssKiB) / double(info.maxRssKiB));
    std::printf("window start to first refresh: %.3f s (period 0.5 s)  ratio %.3f\n", look,
                look / 0.5);
    return 0;
}
