// What the benchmarks wait for, each with a deadline: a bench that waits
// for good is one nobody runs. The short mode (--short) takes fewer
// repetitions and smaller sizes; its figures are printed the same way.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kybench {

using Steady = std::chrono::steady_clock;

// In a child: runs argv[0] with `env` added ("NAME=value"); does not return.
[[noreturn]] inline void Exec(const std::vector<std::string>& argv,
                              const std::vector<std::string>& env) {
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

inline Steady::time_point After(double seconds) {
    return Steady::now() +
           std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
}

// Fails the benchmark, saying what did not come.
[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::exit(1);
}

inline bool ShortMode(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--short") return true;
    return false;
}

// Waits for a child until the deadline; false if it is still running.
inline bool WaitUntil(pid_t pid, Steady::time_point deadline, int& status,
                      rusage* usage = nullptr) {
    for (;;) {
        const pid_t ended = wait4(pid, &status, WNOHANG, usage);
        if (ended == pid) return true;
        if (ended < 0 || Steady::now() >= deadline) return ended < 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Asks a child to end, then ends it, each given `seconds`; true if it
// ended when asked.
inline bool EndChild(pid_t pid, double seconds) {
    int status = 0;
    kill(pid, SIGTERM);
    if (WaitUntil(pid, After(seconds), status)) return true;
    kill(pid, SIGKILL);
    WaitUntil(pid, After(seconds), status);
    return false;
}

// Reads from `fd` until `text` has come; false at the deadline or at the
// end of the output.
inline bool ReadUntil(int fd, std::string_view text, Steady::time_point deadline,
                      std::string& seen) {
    while (seen.find(text) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left.count())) <= 0) continue;
        char buf[512];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        seen.append(buf, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace kybench
