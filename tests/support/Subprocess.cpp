#include "support/Subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <thread>

#include "update/ExitStatus.h"

namespace kytest {

namespace {

// Reads both streams to their end; false when `deadline` came first.
bool Drain(int outFd, int errFd, std::string& out, std::string& err,
           std::chrono::steady_clock::time_point deadline) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buf[4096];
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || poll(fds, 2, static_cast<int>(left.count())) == 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
            if (n <= 0) close(fds[i].fd), fds[i].fd = -1, --open;  // its end
        }
    }
    for (auto& fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    return open == 0;
}

// In a child: a link to its own entry in the view that `env` names, made
// with nothing but system calls.
void EnterView(const std::vector<std::string>& env) {
    static constexpr std::string_view kName = "KYTEST_PROCFS=";
    for (const auto& e : env) {
        if (!e.starts_with(kName)) continue;
        char target[32], link[4096];
        std::snprintf(target, sizeof target, "/proc/%d", getpid());
        std::snprintf(link, sizeof link, "%s/%d", e.c_str() + kName.size(), getpid());
        [[maybe_unused]] int r = symlink(target, link);
    }
}

pid_t SpawnSleeper(const std::string& program, const std::string& holdOpen,
                   const std::vector<std::string>& env) {
    const std::string name = std::filesystem::path(program).filename().string();
    const pid_t pid = fork();
    if (pid == 0) {
        EnterView(env);
        if (!holdOpen.empty()) ::open(holdOpen.c_str(), O_RDONLY);
        execl(program.c_str(), name.c_str(), "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    // The file is opened before the program starts.
    const auto exe = std::filesystem::path("/proc") / std::to_string(pid) / "exe";
    for (int i = 0; i < 500; ++i) {
        std::error_code ec;
        if (std::filesystem::read_symlink(exe, ec) == std::filesystem::canonical(program)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

// The schema validator's socket: started on first use with nothing else
// of the test's open, and kept; -1 when it cannot be had. Every exchange
// has 30 s.
int Validator() {
    int s[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) return -1;
    if (fork() == 0) {
        dup2(s[1], 0), dup2(s[1], 1), close_range(3, ~0U, 0);
        execlp("python3", "python3", KY_VALIDATOR, KY_SCHEMA_DIR, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(s[1]);
    const timeval limit{30, 0};
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO})
        setsockopt(s[0], SOL_SOCKET, option, &limit, sizeof limit);
    return s[0];
}

}  // namespace

std::string SchemaProblem(const nlohmann::json& doc) {
    static std::mutex mutex;
    static int fd = Validator();
    std::lock_guard lock(mutex);
    const std::string line = doc.dump() + "\n";
    std::string answer;
    char c = 0;
    if (fd >= 0 && send(fd, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size()))
        while (read(fd, &c, 1) == 1 && c != '\n') answer += c;
    if (c == '\n') return answer == "ok" ? "" : answer;
    close(fd), fd = -1;  // no answer within its time: none from now on
    return "no answer from " KY_VALIDATOR " (python3 with jsonschema)";
}

void Exec(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env) {
    EnterView(env);
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env, std::function<void(int pid)> started,
              std::chrono::seconds limit) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        int devnull = ::open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], devnull}) close(fd);
        Exec(program, args, env);
    }
    for (int fd : {outPipe[1], errPipe[1]}) close(fd);
    if (pid < 0) return {};  // no child: nothing to wait for, nor to signal
    std::thread watcher;
    if (started) watcher = std::thread([&] { started(pid); });
    RunResult result;
    if (!Drain(outPipe[0], errPipe[0], result.out, result.err,
               std::chrono::steady_clock::now() + limit)) {
        ADD_FAILURE() << program << " still ran after " << limit.count() << " s; its output:\n"
                      << result.out << result.err;
        kill(pid, SIGKILL);
    }
    if (watcher.joinable()) watcher.join();
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return result;
}

bool AwaitCaught(pid_t pid, int signal) {
    for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
        const auto at = status.find("SigCgt:");
        if (at != std::string::npos &&
            (std::stoull(status.substr(at + 7, 17), nullptr, 16) >> (signal - 1) & 1))
            return true;
    }
    return false;
}

void ExpectOutcomeOfStatus(const nlohmann::json& doc, int status) {
    EXPECT_EQ(SchemaProblem(doc), "") << "not valid against kyfw's schema:\n" << doc.dump(2);
    const auto word = [](const nlohmann::json& s) {
        return s.is_number_integer() ? ky::OutcomeWord(ky::ExitStatus(s.get<int>())) : "(none)";
    };
    EXPECT_EQ(std::pair(doc.value("outcome", "?"), doc.value("status", status)),
              std::pair(std::string(word(status)), status))
        << doc.dump(2);
    for (const auto& ky : doc.value("kys", nlohmann::json::array()))
        EXPECT_EQ(ky.value("outcome", "?"), word(ky.value("status", nlohmann::json()))) << ky;
}

nlohmann::json Json(const RunResult& r) {
    nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
    if (doc.is_discarded()) {
        ADD_FAILURE() << "not one JSON document: " << r.out << r.err;
        return {};
    }
    ExpectOutcomeOfStatus(doc, r.status);
    return doc;
}

Sleeper::Sleeper(const std::string& program, const std::string& holdOpen,
                 const std::vector<std::string>& env)
    : pid(SpawnSleeper(program, holdOpen, env)) {}

Sleeper::~Sleeper() {
    if (!mWaited) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
}

int Sleeper::Wait() {
    int status = 0;
    waitpid(pid, &status, 0);
    mWaited = true;
    return status;
}

}  // namespace kytest
