#pragma once

#include <functional>
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
// standard input closed, and collects both output streams.
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {});
// The same, calling `started` with the child's process ID on another thread
// while the program runs (to send it a signal, for instance).
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env, std::function<void(int pid)> started);

}  // namespace kytest
