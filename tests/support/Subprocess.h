#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/Files.h"

namespace kytest {

struct RunResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// The processes a test's programs see: a made-up /proc (KYTEST_PROCFS) with
// the kernel's list of locks and a link to the real entry of each process
// the test started in it, and no other. A child started with Env() in its
// environment (Run, Sleeper, PtyProcess) puts itself in it before it runs.
class ProcessView {
public:
    ProcessView() { std::filesystem::create_symlink("/proc/locks", mDir / "locks"); }
    std::string Env() const { return "KYTEST_PROCFS=" + mDir.String(); }
    const std::filesystem::path& Path() const { return mDir.Path(); }

private:
    TempDir mDir{"proc"};
};

// In a child process: puts itself in the view that `env` names, then runs
// `program` with `args` and extra environment entries ("NAME=value"); does
// not return.
[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env);

// Runs `program` with `args` and extra environment entries ("NAME=value"),
// standard input closed, and collects both output streams; `started`, when
// given, is called with the child's process ID on another thread while the
// program runs (to send it a signal, for instance). A program still running
// after `limit` is killed and the test fails.
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {},
              std::function<void(int pid)> started = nullptr,
              std::chrono::seconds limit = std::chrono::seconds(60));

// Whether `pid` catches `signal` within 20 s: a program told to quit before
// it has set up its handlers would just end.
bool AwaitCaught(pid_t pid, int signal);

// The one JSON document a run printed; a test failure (and null) otherwise.
// Whatever the test looks for, its outcome must be the word of the run's
// exit status (and each Ky's of update --all, of its own status).
// Each document must also be valid against kyfw's schema (packaging/schema).
nlohmann::json Json(const RunResult& r);
void ExpectOutcomeOfStatus(const nlohmann::json& doc, int status);

// What makes `doc` invalid against kyfw's schema, with where it is; empty
// when it is valid. One validator process answers for the test program.
std::string SchemaProblem(const nlohmann::json& doc);

// `program` (a copy of sleep, under any name) running for 30 s, holding
// `holdOpen` open when one is given; killed when the object goes unless it
// has been waited for. Ready once the child runs the program.
class Sleeper {
public:
    explicit Sleeper(const std::string& program = "/bin/sleep", const std::string& holdOpen = "",
                     const std::vector<std::string>& env = {});
    ~Sleeper();
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;
    int Wait();  // its wait status
    const pid_t pid;

private:
    bool mWaited = false;
};

}  // namespace kytest
