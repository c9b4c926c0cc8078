#include "support/Pty.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kytest {

PtyProcess::PtyProcess(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env) {
    mPid = forkpty(&mMaster, nullptr, nullptr, nullptr);
    if (mPid == 0) Exec(program, args, env);
}

PtyProcess::~PtyProcess() {
    if (mPid > 0) kill(mPid, SIGKILL), waitpid(mPid, nullptr, 0);
    if (mMaster >= 0) close(mMaster);
}

bool PtyProcess::ReadSome(int timeoutMs) {
    pollfd pfd{mMaster, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(mMaster, buf, sizeof buf);
    if (n <= 0) return false;  // the program closed the terminal
    mOutput.append(buf, static_cast<std::size_t>(n));
    return true;
}

bool PtyProcess::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (mOutput.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
    }
    return true;
}

void PtyProcess::Type(const std::string& text) {
    [[maybe_unused]] ssize_t n = write(mMaster, text.data(), text.size());
}

int PtyProcess::Wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(mPid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ADD_FAILURE() << "still running after 60 s; its output:\n" << mOutput;
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
        }
        ReadSome(100);
    }
    while (ReadSome(0)) continue;
    mPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kytest
