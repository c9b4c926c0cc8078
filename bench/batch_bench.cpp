// What writing many Kys at once costs against writing one, measured side by
// side in one run, kyfw run as a whole process against simulated Kys at the
// real pace (1.5 s erases, 1 ms pauses), on a made-up empty /proc:
//  - the time of `update --all` of 8 and 63 Kys against one Ky's `update`
//    (targets 1.2 and 1.5), best of three runs, on an idle machine and
//    with one busy loop per core that it starts and ends itself;
//  - kyfw's peak memory while it writes 63 Kys (target 40 MB);
//  - the pause after each block while 8 Kys are written against the single
//    update's: from a recording (--record), the time between one unit's
//    block writes, median and 99th percentile.
// --short: one run of each, idle only, 63 Kys once.
// Run as: batch_bench [--short] KYFW   (the tests' kyfw: build/tests/programs/kyfw)
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Deadline.h"

namespace {

namespace fs = std::filesystem;
using kybench::After;
using kybench::Fail;
using kybench::Steady;

// How long one kyfw may take: many times what 63 Kys take on a busy machine.
constexpr double kUpdateSeconds = 90, kEndSeconds = 10;
constexpr double kTarget8 = 1.2, kTarget63 = 1.5, kMemoryTargetKiB = 40 * 1024;

struct Run {
    double seconds = 0;
    long maxRssKiB = 0;
};

struct Series {
    std::vector<double> seconds;
    long maxRssKiB = 0;
    double Best() const { return *std::min_element(seconds.begin(), seconds.end()); }
    double Worst() const { return *std::max_element(seconds.begin(), seconds.end()); }
};

fs::path Dir() {
    static const fs::path dir =
        fs::temp_directory_path() / ("kyfw-batch-bench-" + std::to_string(getpid()));
    return dir;
}

[[noreturn]] void Exec(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const fs::path& out) {
    if (!freopen(out.c_str(), "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
    kybench::Exec(argv, env);
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A Ky's entry says it is done, and its update both images written.
bool Written(const nlohmann::json& entry, const nlohmann::json& update) {
    if (!entry.is_object() || !update.is_object()) return false;
    const auto images = update.value("images", nlohmann::json::object());
    return entry.value("outcome", "") == "done" && images.size() == 2 &&
           images.value("mcore", nlohmann::json::object()).value("ok", false) &&
           images.value("xilinx", nlohmann::json::object()).value("ok", false);
}

// Every one of `kys` Kys was written: the exit status says done, and so
// does each Ky of the JSON document.
void CheckAllWritten(const std::string& what, int status, const fs::path& out, unsigned kys) {
    const std::string text = Slurp(out);
    if (status != 0)
        Fail("batch_bench: " + what + " ended with status " + std::to_string(status) +
             "; it printed:\n" + text);
    const auto doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded()) Fail("batch_bench: " + what + " printed no JSON document:\n" + text);
    unsigned written = 0;
    if (kys == 1)
        written = Written(doc, doc) ? 1 : 0;
    else if (doc.contains("kys") && doc["kys"].is_array())
        for (const auto& k : doc["kys"])
            written += Written(k, k.is_object() ? k.value("update", nlohmann::json()) : k);
    if (written != kys)
        Fail("batch_bench: " + what + " wrote " + std::to_string(written) + " Kys of " +
             std::to_string(kys) + "; it printed:\n" + text);
}

// One kyfw update of `kys` simulated Kys, all of them written, as a whole
// process; with `record`, recorded there.
Run UpdateKys(const std::string& kyfw, unsigned kys, const std::string& record = {}) {
    const std::string what = "kyfw update of " + std::to_string(kys) + " Ky(s)";
    std::vector<std::string> argv = {kyfw, "--simulate", "--sim-reset"};
    if (!record.empty()) argv.insert(argv.end(), {"--record", record});
    argv.insert(argv.end(), {"update", "--yes", "--json"});
    if (kys > 1) argv.insert(argv.end(), {"--all", "--reinstall"});
    const std::vector<std::string> env = {
        "KYFW_SIM_STATE=" + (Dir() / "sim").string(), "XDG_STATE_HOME=" + (Dir() / "xdg").string(),
        "KYTEST_PROCFS=" + (Dir() / "proc").string(), "KYFW_SIM_COUNT=" + std::to_string(kys)};
    const fs::path out = Dir() / "out.json";
    std::fflush(stdout);  // the child's freopen would print it again
    const auto start = Steady::now();
    const pid_t pid = fork();
    if (pid < 0) Fail("batch_bench: cannot start " + what);
    if (pid == 0) Exec(argv, env, out);
    int status = 0;
    rusage usage{};
    if (!kybench::WaitUntil(pid, After(kUpdateSeconds), status, &usage)) {
        kybench::EndChild(pid, kEndSeconds);
        Fail("batch_bench: " + what + " did not end within " + std::to_string(int(kUpdateSeconds)) +
             " s");
    }
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    CheckAllWritten(what, WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, kys);
    return {seconds, usage.ru_maxrss};
}

Series Repeat(const std::string& kyfw, unsigned kys, int runs) {
    Series s;
    for (int i = 0; i < runs; ++i) {
        const Run r = UpdateKys(kyfw, kys);
        s.seconds.push_back(r.seconds);
        s.maxRssKiB = std::max(s.maxRssKiB, r.maxRssKiB);
    }
    return s;
}

// The time between one unit's consecutive block writes, over every unit
// of a recording, in microseconds, sorted.
std::vector<double> BlockGaps(const fs::path& recording) {
    std::ifstream in(recording);
    if (!in) Fail("batch_bench: no recording at " + recording.string());
    std::map<std::string, double> last;
    std::vector<double> gaps;
    double now = 0;
    for (std::string line; std::getline(in, line);) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object() || !j.contains("t")) continue;
        now += j["t"].get<double>();
        if (j.value("ev", "") != "request" || j.value("kind", "") != "bwrite") continue;
        const std::string unit = j.value("unit", "");
        if (const auto it = last.find(unit); it != last.end()) gaps.push_back(now - it->second);
        last[unit] = now;
    }
    if (gaps.empty())
        Fail("batch_bench: the recording " + recording.string() + " has no block writes");
    std::sort(gaps.begin(), gaps.end());
    return gaps;
}

double Percentile(const std::vector<double>& sorted, double p) {
    return sorted[std::min(sorted.size() - 1, std::size_t(p * double(sorted.size())))];
}

[[noreturn]] void Spin() {
    volatile unsigned long n = 0;
    for (;;) n = n + 1;
}

// One busy loop per core, started and ended here.
struct BusyLoops {
    std::vector<pid_t> pids;
    BusyLoops() {
        const long cores = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
        std::fflush(stdout);
        for (long i = 0; i < cores; ++i) {
            const pid_t pid = fork();
            if (pid == 0) Spin();
            if (pid > 0) pids.push_back(pid);
        }
    }
    ~BusyLoops() {
        for (pid_t pid : pids) kybench::EndChild(pid, kEndSeconds);
    }
};

struct Figures {
    Series one, eight, many;
};

Figures Measure(const std::string& kyfw, int runs, bool withMany) {
    Figures f;
    // Interleaved, so that a change in the machine's load touches each alike.
    for (int i = 0; i < runs; ++i) {
        const Series one = Repeat(kyfw, 1, 1), eight = Repeat(kyfw, 8, 1);
        f.one.seconds.push_back(one.seconds[0]);
        f.eight.seconds.push_back(eight.seconds[0]);
        if (!withMany) continue;
        const Series many = Repeat(kyfw, 63, 1);
        f.many.seconds.push_back(many.seconds[0]);
        f.many.maxRssKiB = std::max(f.many.maxRssKiB, many.maxRssKiB);
    }
    return f;
}

void PrintTimes(const char* phase, const Figures& f) {
    std::printf("%s: 1 Ky %.2f-%.2f s, 8 Kys %.2f-%.2f s", phase, f.one.Best(), f.one.Worst(),
                f.eight.Best(), f.eight.Worst());
    if (!f.many.seconds.empty()) std::printf(", 63 Kys %.2f-%.2f s", f.many.Best(), f.many.Worst());
    std::printf(" (best-worst)\n  ratio 8/1: %.3f (target %.1f)", f.eight.Best() / f.one.Best(),
                kTarget8);
    if (!f.many.seconds.empty())
        std::printf("  ratio 63/1: %.3f (target %.1f)", f.many.Best() / f.one.Best(), kTarget63);
    std::printf("\n");
}

void PrintGaps(const std::string& kyfw) {
    const std::string one = (Dir() / "one.jsonl").string(),
                      eight = (Dir() / "eight.jsonl").string();
    UpdateKys(kyfw, 1, one);
    UpdateKys(kyfw, 8, eight);
    const auto a = BlockGaps(one), b = BlockGaps(eight);
    std::printf(
        "pause after each block, per unit (ms): 1 Ky median %.3f p99 %.3f (%zu gaps); "
        "8 Kys median %.3f p99 %.3f (%zu gaps)\n",
        Percentile(a, 0.5) / 1000, Percentile(a, 0.99) / 1000, a.size(), Percentile(b, 0.5) / 1000,
        Percentile(b, 0.99) / 1000, b.size());
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = kybench::ShortMode(argc, argv);
    std::vector<std::string> programs;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) != "--short") programs.push_back(argv[i]);
    if (programs.size() != 1) {
        std::cerr << "usage: batch_bench [--short] KYFW\n";
        return 64;
    }
    const std::string kyfw = programs[0];
    Dir();  // made before the handler that removes it, so kept until after it
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(Dir(), ec);  // also when the bench fails
    });
    // kyfw sees no other process: a video application running beside the
    // bench would stop the update.
    fs::create_directories(Dir() / "proc");

    const Figures idle = Measure(kyfw, quick ? 1 : 3, true);
    PrintTimes("idle", idle);
    std::printf("kyfw peak memory, 63 Kys: %.1f MB (target %.0f MB)\n",
                double(idle.many.maxRssKiB) / 1024, kMemoryTargetKiB / 1024);
    PrintGaps(kyfw);
    if (quick) return 0;
    BusyLoops busy;
    const Figures loaded = Measure(kyfw, 3, true);
    PrintTimes("loaded", loaded);
    std::printf("kyfw peak memory, 63 Kys, loaded: %.1f MB\n",
                double(loaded.many.maxRssKiB) / 1024);
    PrintGaps(kyfw);
    return 0;
}
