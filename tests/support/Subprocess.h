#pragma once

#include <sys/types.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kytest {

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// In a child process: runs `program` with `args` and extra environment
// entries ("NAME=value"); does not return.
[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env);

// Runs `program` with `args` and extra environment entries ("NAME=value"),
// standard input closed, and collects both output streams; `started`, when
// given, is called with the child's process ID on another thread while the
// program runs (to send it a signal, for instance).
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {},
              std::function<void(int pid)> started = nullptr);

// The one JSON document a run printed; a test failure (and null) otherwise.
nlohmann::json Json(const RunResult& r);

// `program` (a copy of sleep, under any name) running for 30 s, holding
// `holdOpen` open when one is given; killed when the object goes unless it
// has been waited for. Ready once the child runs the program.
class Sleeper {
public:
    explicit Sleeper(const std::string& program = "/bin/sleep", const std::string& holdOpen = "");
    ~Sleeper();
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;
    int Wait();  // its wait status
    const pid_t pid;

private:
    bool mWaited = false;
};

}  // namespace kytest
