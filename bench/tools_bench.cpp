// What a user of the two programs waits for and pays, measured side by side:
//  - kyfw update against the simulated Ky (instant erase, real pauses), as
//    a whole process, against the protocol floor of 3198 pauses of 1 ms;
//  - kyfw's peak memory during an update, against kyfw info;
//  - the window's time from start to its first refresh (offscreen), against
//    the refresh period.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Steady = std::chrono::steady_clock;

struct Child {
    double seconds = 0;
    long maxRssKiB = 0;
    int status = -1;
};

// Runs a program with its output discarded; wall time and peak memory.
Child RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const auto start = Steady::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        if (!freopen("/dev/null", "w", stderr)) _exit(127);
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return {std::chrono::duration<double>(Steady::now() - start).count(), usage.ru_maxrss,
            WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// Starts the window and waits for the end of its first refresh on stdout.
double WindowFirstRefresh(const std::string& gui, const std::string& state) {
    int out[2];
    if (pipe(out) != 0) return -1;
    const auto start = Steady::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        if (!freopen("/dev/null", "w", stderr)) _exit(127);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("KYFW_SIM_STATE", state.c_str(), 1);
        // Line-buffered, so the first refresh's trace lines arrive when written.
        execl("/usr/bin/stdbuf", "stdbuf", "-oL", gui.c_str(), "--simulate",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string seen;
    char buf[512];
    ssize_t n;
    while (seen.find("Dtor DownloadUnit\n") == std::string::npos &&
           (n = read(out[0], buf, sizeof buf)) > 0)
        seen.append(buf, static_cast<size_t>(n));
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(out[0]);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: tools_bench KYFW GUI\n";
        return 64;
    }
    const std::string kyfw = argv[1], gui = argv[2];
    const auto dir =
        std::filesystem::temp_directory_path() / ("kyfw-bench-" + std::to_string(getpid()));
    const std::vector<std::string> env = {"KYFW_SIM_STATE=" + (dir / "sim").string(),
                                          "XDG_STATE_HOME=" + (dir / "xdg").string(),
                                          "KYFW_SIM_ERASE_MS=0"};
    const Child update = RunProgram({kyfw, "--simulate", "--sim-reset", "update", "--yes"}, env);
    const Child info = RunProgram({kyfw, "info"}, env);
    const double refresh = WindowFirstRefresh(gui, (dir / "sim").string());
    std::filesystem::remove_all(dir);

    std::printf("kyfw update, whole process:   %.3f s (floor 3.198 s)  ratio %.3f  (exit %d)\n",
                update.seconds, update.seconds / 3.198, update.status);
    std::printf("kyfw peak memory:             update %ld KiB, info %ld KiB  ratio %.2f\n",
                update.maxRssKiB, info.maxRssKiB,
                double(update.maxRssKiB) / double(info.maxRssKiB));
    std::printf("window start to first refresh: %.3f s (period 0.5 s)  ratio %.3f\n", refresh,
                refresh / 0.5);
    return 0;
}
