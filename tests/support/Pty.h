#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kytest {

// A program run on a pseudo-terminal, as a user at a terminal runs it: its
// output is read as it comes, and text can be typed to it.
class PtyProcess {
public:
    PtyProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env);
    ~PtyProcess();
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    // Reads until the output holds `text`; false when it did not come in time.
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void Type(const std::string& text);
    // Reads the rest and returns the exit status (-1 when killed by a signal).
    int Wait();
    pid_t Pid() const { return mPid; }
    const std::string& Output() const { return mOutput; }

private:
    bool ReadSome(int timeoutMs);

    int mMaster = -1;
    pid_t mPid = -1;
    std::string mOutput;
};

}  // namespace kytest
