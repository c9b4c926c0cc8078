// kyfw as a user runs it, on the simulated Ky: listing, the built-in
// images, and updates with every exit status, their JSON, the refusals, the
// log, recordings and signals during the flash.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "support/Files.h"
#include "support/Pty.h"
#include "support/Subprocess.h"

namespace {

using ::testing::_;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::FieldsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace fs = std::filesystem;
using nlohmann::json;

std::vector<std::string> W(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// One run of kyfw and what must hold after it.
struct Row {
    const char* state;  // ky.state to write first ("" removes it); nullptr keeps what is there
    std::vector<std::string> args;
    std::string env;  // NAME=value or ""
    int status;
    // Each "WHAT OP TEXT" with no spaces between: WHAT is out, err, log (the
    // log that the document names) or a JSON pointer into the document; OP
    // is = (is), ~ (holds), ! (does not hold), ^ (begins with) or, after a
    // pointer, # (has this many elements). Besides: "version=V" (the Ky's
    // afterwards), "state=same" (kyfw left the state file as it was) and
    // "{JSON patch} => problem" (how the schema's complaint begins once the
    // patch changed the document).
    std::vector<std::string> checks;
};

// `text` against `want` as `op` says (see Row).
void ExpectText(const std::string& text, char op, const std::string& want) {
    const std::map<char, ::testing::Matcher<const std::string&>> is = {
        {'=', want}, {'~', HasSubstr(want)}, {'!', Not(HasSubstr(want))}, {'^', StartsWith(want)}};
    EXPECT_THAT(text, is.at(op));
}

class KyfwCli : public ::testing::Test {
protected:
    // The test's own state and processes, instant pauses, then `more`
    // (which may override). Here and in kyfw's arguments and shell lines,
    // $DIR is the test's directory.
    std::vector<std::string> Env(const std::vector<std::string>& more = {}) {
        std::vector<std::string> env = {"KYFW_SIM_STATE=" + (dir / "sim").string(),
                                        "XDG_STATE_HOME=" + (dir / "xdg").string(),
                                        "KYFW_SIM_FAST=1", view.Env()};
        env.insert(env.end(), more.begin(), more.end());
        return env;
    }
    kytest::RunResult Kyfw(std::vector<std::string> args, std::vector<std::string> env = {}) {
        for (auto& a : args) a = Expand(a);
        return kytest::Run(KYFW_PATH, args, Env(env));
    }
    // kyfw on the update's real pauses, sent each of `signals` `gap`
    // milliseconds apart once it flashes.
    kytest::RunResult Signalled(const std::string& args, std::vector<std::string> env,
                                std::vector<int> signals, int gap) {
        env.insert(env.begin(), "KYFW_SIM_FAST=0");
        return kytest::Run(KYFW_PATH, W(args), Env(env), [&](int pid) {
            EXPECT_TRUE(kytest::AwaitCaught(pid, SIGINT));  // it flashes
            for (int signal : signals) {
                std::this_thread::sleep_for(std::chrono::milliseconds(gap));
                kill(pid, signal);
            }
        });
    }
    // The kept recording `name` unpacked into the test's directory: its path.
    std::string Unpack(const std::string& name) {
        const std::string file = Expand("$DIR/" + name + ".jsonl");
        EXPECT_EQ(Shell("gzip -dc " KY_RECORDINGS "/" + name + ".jsonl.gz > " + file).status, 0);
        return file;
    }
    // A shell line with kyfw as $0.
    kytest::RunResult Shell(const std::string& line, std::vector<std::string> env = {}) {
        return kytest::Run("/bin/bash", {"-c", Expand(line), KYFW_PATH}, Env(env));
    }
    std::string Version() {
        return DocOf("--simulate list --json")["devices"][0]["firmware_version"];
    }
    json Doc(const kytest::RunResult& r) { return kytest::Json(r); }
    json DocOf(const std::string& args) { return Doc(Kyfw(W(args))); }
    // kyfw on a terminal: once it shows `prompt`, `meanwhile` runs and `keys`
    // are typed; its exit status, a space, and all it showed.
    std::string OnTerminal(const std::string& args, const std::string& prompt,
                           const std::string& keys, std::vector<std::string> env = {},
                           std::function<void(pid_t)> meanwhile = {}) {
        kytest::PtyProcess p(KYFW_PATH, W(Expand(args)), Env(env));
        EXPECT_TRUE(p.WaitFor(prompt)) << p.Output();
        if (meanwhile) meanwhile(p.Pid());
        p.Type(keys);
        const int status = p.Wait();
        return std::to_string(status) + " " + p.Output();
    }
    void State(const std::string& text) {
        fs::remove(dir / "sim" / "ky.state");
        if (!text.empty()) kytest::WriteFile(dir / "sim" / "ky.state", text);
    }
    std::string Expand(std::string s) {
        for (auto at = s.find("$DIR"); at != std::string::npos; at = s.find("$DIR"))
            s.replace(at, 4, dir.String());
        return s;
    }
    void RunTable(const std::vector<Row>& rows) {
        for (const auto& row : rows) {
            std::string line;
            std::vector<std::string> args;
            for (const auto& a : row.args) line += a + " ", args.push_back(Expand(a));
            SCOPED_TRACE(line + row.env);
            if (row.state) State(row.state);
            const std::string before = kytest::ReadFile(dir / "sim" / "ky.state");
            const auto r = Kyfw(args, {row.env.empty() ? "KYFW_SIM_COUNT=1" : Expand(row.env)});
            EXPECT_EQ(r.status, row.status) << r.err;
            if (r.out.starts_with("{"))
                kytest::Json(r);  // whatever the row looks at, the document tells how it ended
            else
                EXPECT_TRUE(row.status != 64 || r.out.empty()) << r.out;
            for (const auto& check : row.checks) Check(r, Expand(check), before);
        }
    }
    void Check(const kytest::RunResult& r, const std::string& c, const std::string& before) {
        SCOPED_TRACE("the check " + c);
        if (const auto arrow = c.find(" => "); c[0] == '{') {
            const json patch = json::array({json::parse(c.substr(0, arrow))});
            EXPECT_THAT(kytest::SchemaProblem(Doc(r).patch(patch)),
                        StartsWith(c.substr(arrow + 4)));
        } else if (c == "state=same") {
            EXPECT_EQ(kytest::ReadFile(dir / "sim" / "ky.state"), before);
        } else if (c.starts_with("version=")) {
            EXPECT_EQ(Version(), c.substr(8));
        } else if (c[0] != '/') {
            const std::string what = c.substr(0, 3);
            ExpectText(what == "log"   ? kytest::ReadFile(Doc(r)["log"])
                       : what == "err" ? r.err
                                       : r.out,
                       c[3], c.substr(4));
        } else if (const auto at = c.find_first_of("=~#"); c[at] == '#') {
            EXPECT_EQ(Doc(r)[json::json_pointer(c.substr(0, at))].size(),
                      std::stoul(c.substr(at + 1)));
        } else if (c[at] == '~') {
            ExpectText(Doc(r)[json::json_pointer(c.substr(0, at))].get<std::string>(), '~',
                       c.substr(at + 1));
        } else {
            EXPECT_EQ(Doc(r)[json::json_pointer(c.substr(0, at))], json::parse(c.substr(at + 1)));
        }
    }
    kytest::TempDir dir{"cli"};
    kytest::ProcessView view;
};

// An exit status, and what is shown (on a terminal) or said on standard error.
auto Shows(int status, const std::string& text) {
    return AllOf(StartsWith(std::to_string(status) + " "), HasSubstr(text));
}

const char* const kNewer = "mcore=3\nxilinx=0\nproduct=3\nserial=KY010203\n";

// clang-format off
TEST_F(KyfwCli, ListShowsEachKyItsVersionsAndWhetherItCanBeUpdated) {
    RunTable({
        {"", W("--simulate list"), "", 0, {"err=",  // trace lines stay out of sight
            "out=Ky 1: $DIR/sim/fw-simulated (unit sim0.0, GUID 0x0000d0a004120187)\n"
            "  firmware version: 1-5 (MCORE-Xilinx)\n  serial number:    Not Available\n"
            "  product version:  3\n  status:           ready\n  built-in 2-6:     upgrade\n"}},
        {nullptr, W("--simulate list"), "KYFW_SIM_COUNT=0", 3, {"out=No Ky found: the FireWire "
            "controller sees no other device: is the Ky connected and switched on?\n"}},
        {nullptr, W("--simulate list --json"), "KYFW_SIM_COUNT=0", 3, {"/reason/code=\"no-ky\""}},
        {kNewer, W("list --simulate --json"), "", 0, {"/devices#1", "/built_in_version=\"2-6\"",
            "/devices/0/firmware_version=\"3-0\"", "/devices/0/serial_number=\"KY010203\"",
            "/devices/0/built_in=\"downgrade\"", "/devices/0/product_version=3",
            R"({"op": "replace", "path": "/devices/0/mcore_version", "value": "3"} => /devices/0/mcore_version: '3' is not of type 'integer')"}},
        {"mcore=2\nxilinx=6\nproduct=4\nserial=KY010203\n", W("--simulate list --json"), "", 3,
            {"/devices/0/usable=false",
             "/devices/0/status=\"product version not supported by this updater\""}},
        {"mcore=2\nxilinx=6\nproduct=2\nserial=KY010203\n", W("--simulate list --json"), "", 3, {"/devices/0/usable=false"}},
        {"mcore=2\nxilinx=6\nproduct=0\nserial=KY010203\n", W("--simulate list --json"), "", 0, {"/devices/0/usable=true"}},
        // What --device takes, for the shells' completions.
        {nullptr, W("--simulate list --names"), "", 0, {"out=0x0000d0a004120187\n$DIR/sim/fw-simulated\nsim0.0\n"}},
    });
}

// kyfw in the pseudo-language through its main paths: once the texts from
// the catalogue, "[!! text !!]" (nested too), and the values (paths, GUIDs,
// versions, numbers, option names, "Ky") are taken out, no word is left on
// any line. German works; the documents for programs stay English.
TEST_F(KyfwCli, EveryLineAUserReadsComesFromTheCatalogue) {
    // Values too: the help's syntax words (NAME, GUID), the names of the
    // subcommands and faults it lists, and the system's own error text.
    const std::regex wrapped(R"(\[!! ((?!\[!! | !!\]).)* !!\])"), word("[A-Za-z]{2,}"),
        values(R"(\S*\d\S*|\bKy\b|MCORE-Xilinx|--[a-z-]+|\bkyfw\b|\b[A-Z]{2,}\b|^\s+[a-z-]+(:|\s\s)|)" +
               std::string(std::strerror(ENOENT)));
    const auto run = [&](const std::string& language, std::string n, const std::string& args) {
        return Kyfw(W(args), {"LC_ALL=C.UTF-8", "LANGUAGE=" + language, "KYFW_SIM_COUNT=" + n});
    };
    const std::tuple<const char*, const char*, int, const char*> runs[] = {
        {"", "1", 0, "--simulate list"}, {nullptr, "0", 3, "--simulate list"}, {nullptr, "1", 0, "info"},
        {nullptr, "1", 0, "--simulate update --yes"}, {nullptr, "1", 2, "--simulate update --yes"},
        {"", "1", 1, "--simulate --sim-fault=crc-rejected update --yes"},
        {"", "1", 4, "--simulate --sim-fault=in-use update --yes"},
        {kNewer, "1", 4, "--simulate update --yes"}, {nullptr, "0", 3, "--simulate update --yes"},
        {nullptr, "1", 3, "--simulate update --yes --device 0x0000d0a004120188"},
        {"", "2", 0, "--simulate update --all --yes --wait"},
        {"", "1", 0, "--simulate update --yes --wait"}, {nullptr, "1", 0, "--help"},
        {nullptr, "1", 64, "--simulate list --bogus"}, {nullptr, "1", 64, "--replay none list"},
        {nullptr, "1", 64, "--simulate list --json=maybe"},
    };
    for (const auto& [state, n, status, args] : runs) {
        if (state) State(state);
        const auto r = run("en@pseudo", n, args);
        EXPECT_EQ(r.status, status) << args << "\n" << r.err;
        std::istringstream lines(r.out + "\n" + r.err);
        for (std::string line, rest, left; std::getline(lines, line);) {
            for (rest = line, left = ""; left != rest;)
                left = rest, rest = std::regex_replace(rest, wrapped, "");
            rest = std::regex_replace(rest, values, "");
            EXPECT_FALSE(std::regex_search(rest, word)) << args << ": " << line;
        }
    }
    EXPECT_THAT(run("de", "1", "--simulate list").out,
                AllOf(HasSubstr("Seriennummer:"), HasSubstr("bereit")));
    for (const char* n : {"1", "0"})  // a Ky, and none with the reason in words
        for (const std::string args :
             {"--simulate list --json", "--simulate update --json", "--replay none list --json"})
            EXPECT_EQ(run("de", n, args).out, run("C", n, args).out);
}

TEST_F(KyfwCli, AListingNeverWritesTheStateAndAResetStartsAfresh) {
    RunTable({
        {kNewer, W("--simulate --sim-reset --verbose list"), "", 0, {"out~1-5", "state=same",
            "err~Ctor DownloadUnit\nFWDL::Open\nFWDL::Close\nDtor DownloadUnit\n"}},
        {"mcore=one\n", W("--simulate list"), "", 3, {"err=kyfw: the simulated Ky's state "
            "$DIR/sim/ky.state cannot be used (mcore= is not a number from 0 to 65535); start "
            "afresh with --sim-reset\n"}},
    });
}

TEST_F(KyfwCli, BytesThatAreNotUtf8AndControlsNeverBreakTheOutput) {
    RunTable({
        {"mcore=2\nxilinx=5\nproduct=3\nserial=KY\xff\xfe\x1b[2J\n", W("--simulate list"), "", 0,
            {"out~  serial number:    KY\\xFF\\xFE\\x1B[2J\n", "out!\x1b"}},
        {nullptr, W("--simulate list --json"), "", 0,
            {"/devices/0/serial_number=\"KY\\ufffd\\ufffd\\u001b[2J\""}},
        {nullptr, W("--simulate list"), "KYFW_SIM_STATE=$DIR/st\xff", 0, {"out~st\\xFF/fw-simulated"}},
        {"", W("--simulate list"), "KYFW_SIM_STATE=$DIR/s\x7f", 0, {"out~/s\\x7F/fw-simulated"}},
    });
}

TEST_F(KyfwCli, InfoDescribesTheBuiltInImages) {
    RunTable({
        {nullptr, W("info"), "", 0, {"out~  size:                336754 bytes\n",
            "out~  configuration data:  offset 74, length 336680 bytes\n",
            "out~  size:                71260 bytes\n", "out~  version:             6\n",
            "out~  version:             2\n", "out~  start address:       0x00000400\n"}},
        {nullptr, W("info --json"), "", 0, {"/images/0/config_offset=74",
            "/images/0/crc16=\"0xE2EF\"", "/images/1/size=71260", "/images/1/stretches#2"}},
    });
}

TEST_F(KyfwCli, AnUpdateWritesTheBuiltInFirmwareAndThenHasNothingToDo) {
    RunTable({
        {nullptr, W("--simulate update --yes --json"), "", 0, {"/outcome=\"done\"",
            "/images/xilinx/ok=true", "/images/mcore/ok=true", "/device/firmware_version=\"1-5\"",
            "version=2-6"}},
        {nullptr, W("--simulate update --yes"), "", 2, {"out=The Ky already has firmware 2-6; "
            "nothing to do (--reinstall writes it again).\n"}},
        {nullptr, W("update --simulate --json"), "", 2, {"/outcome=\"nothing-to-do\""}},
        {nullptr, W("--simulate update --yes --reinstall"), "", 0, {"out^Updating the Ky at ",
            "out~MCORE: writing 100%\n", "err=",
            "out~Done. Switch the Ky off and on again to start firmware 2-6.\nLog: "}},
        // A log that cannot be kept is not named, and the user is told why.
        {nullptr, W("--simulate update --yes --reinstall"), "XDG_STATE_HOME=/dev/null", 0,
            {"out!Log: ", "err=kyfw: warning: no log was kept: cannot create the directory "
             "/dev/null/kyfirmwareupdate: Not a directory\n"}},
    });
}

TEST_F(KyfwCli, NothingIsWrittenWithoutConsentToTheUpdateAndToADowngrade) {
    RunTable({
        // Without a terminal and without --yes nothing is touched.
        {"", W("--simulate update --json"), "", 4, {"/outcome=\"refused\"", "version=1-5"}},
        {kNewer, W("--simulate update --yes"), "", 4, {"version=3-0", "err=kyfw: refusing to "
            "downgrade the Ky from 3-0 to 2-6 without --allow-downgrade\n"}},
        {nullptr, W("--simulate update --yes --allow-downgrade --json"), "", 0,
            {"/outcome=\"done\"", "version=2-6"}},
    });
}

TEST_F(KyfwCli, AnAnonymousRecordingAndItsLogAndReplayNameNoKy) {
    RunTable({
        {"mcore=2\nxilinx=6\nproduct=3\nserial=KY010203\n", W("--simulate --record $DIR/a.jsonl --record-anonymous update --yes --reinstall --json"),
            "", 0, {"log!d0a004120187", "log~(GUID 0x0000000000000001)"}},
        // It replays whole (every block's data, nothing left over) and names no Ky.
        {nullptr, W("--replay $DIR/a.jsonl update --yes --reinstall --json"), "", 0, {"/outcome=\"done\"",
            "/device/guid=\"0x0000000000000001\"", "/device/serial_number=\"00000000\""}},
    });
}

TEST_F(KyfwCli, OfSeveralKysTheOneToUpdateIsChosenWithDevice) {
    RunTable({
        {nullptr, W("--simulate update --yes"), "KYFW_SIM_COUNT=2", 4, {"err~several Kys found; "
            "choose one with --device:\n  --device 0x0000d0a004120187"}},
        {nullptr, W("--simulate update --yes --device 0x0000d0a004120188 --json"),
            "KYFW_SIM_COUNT=2", 0, {"/device/guid=\"0x0000d0a004120188\""}},
        {nullptr, W("--simulate update --yes --device 0x0000d0a0ffffffff"), "", 3, {}},
    });
}

// kyfw's whole answer to an update: its exit status, its JSON document and
// its log, without what differs from run to run (the node's path, the
// generation, whether logind answers).
std::string Transcript(const kytest::RunResult& r) {
    json doc = json::parse(r.out, nullptr, false);
    if (doc.is_discarded()) return "status " + std::to_string(r.status) + ", no JSON:\n" + r.out + r.err;
    kytest::ExpectOutcomeOfStatus(doc, r.status);
    std::istringstream log(kytest::ReadFile(doc.value("log", "")));
    const std::string node = doc.contains("device") ? doc["device"].value("node", "") : "";
    doc.erase("log");
    if (!node.empty()) doc["device"]["node"] = "NODE";
    std::string text = "status " + std::to_string(r.status) + "\n" + doc.dump(2) + "\n";
    for (std::string line; std::getline(log, line);) {
        if (line.starts_with("logind ") || line.starts_with("Holding off")) continue;
        if (const auto at = line.find(node); !node.empty() && at != std::string::npos)
            line.replace(at, node.size(), "NODE");
        text += (line.starts_with("BusGen ") ? "BusGen N" : line) + "\n";
    }
    return text;
}

// Each fault the simulated Ky can play, injected and replayed from its
// recording (those of a restart waited for, the replay on the recorded
// times), ends as its transcript says (scripts/make-recordings.sh).
TEST_F(KyfwCli, EachFaultEndsAsItsTranscriptSaysInjectedAndReplayed) {
    for (const auto& fault :
         W("update-mode-unanswered not-ready erase-unanswered erase-failure erase-timeout "
           "header-busy block-busy crc-rejected vanish bus-reset mcore-erase-failure "
           "mcore-crc-rejected in-use absent restart-old-firmware restart-never-back")) {
        SCOPED_TRACE(fault);
        const std::string name = KY_RECORDINGS "/fault-" + fault, file = Unpack("fault-" + fault);
        const auto replayed = Transcript(Kyfw(W("--replay " + file + " update --yes --reinstall --json")));
        if (std::getenv("KY_WRITE_TRANSCRIPTS")) kytest::WriteFile(name + ".transcript", replayed);
        const std::string wait = fault.starts_with("restart-") ? " --wait" : "", golden = kytest::ReadFile(name + ".transcript"),
                          injected = Transcript(Kyfw(W("--simulate --sim-reset update --yes --json --sim-fault=" + fault + wait)));
        EXPECT_EQ(std::pair(replayed, injected), std::pair(golden, golden));
    }
}

// clang-format off
const std::string kWait = "--simulate --sim-reset update --yes --wait --json";

TEST_F(KyfwCli, TheRestartIsWaitedForOnATerminalOrWhenAskedAndFollowed) {
    RunTable({
        {nullptr, W(kWait), "", 0, {"/restart/confirmed=true", "/restart/versions=\"2-6\"",
            "/restart/left_the_bus=true", "log~\nRestart: The Ky now runs firmware 2-6.\n"}},
        {nullptr, W(kWait + " --wait-timeout 090"), "KYFW_SIM_POWER_CYCLE_AFTER=never", 0,  // decimal
            {"/restart/confirmed=false", "/restart/versions=null", "/restart/waited_seconds=90.0",
             "/restart/message~The Ky was not switched off within 90 seconds; the new firmware starts"}},
        {nullptr, W("--simulate --sim-reset update --yes"), "", 0, {"out!Waiting"}},  // no terminal
    });
}

TEST_F(KyfwCli, AllWritesEveryKyThatNeedsItAndEndsWithTheWorstStatus) {
    RunTable({
        // One fails, one is written, one is current.
        {nullptr, W("--simulate --sim-reset --sim-fault=block-busy update --all --yes --wait"), "KYFW_SIM_COUNT=3",
            1, {"version=2-0", "out~Summary (built-in firmware 2-6):\n"
            "  0x0000d0a004120187  Not Available  1-5 \u2192 2-0  failed: The FPGA (Xilinx) image failed "
            "while sending the block at 12618: busy (error -536870187). Do not switch the Ky off; leave it "
            "connected and run `kyfw update` again.\n  0x0000d0a004120188  Not Available  1-4 \u2192 2-6  "
            "done, restart confirmed\n  0x0000d0a004120189  KY000002  2-6 \u2192 2-6  skipped: it already has 2-6 "
            "(--reinstall writes it again)\n"}},
        {nullptr, W("--simulate list --json"), "KYFW_SIM_COUNT=3", 0, {"/devices/1/firmware_version=\"2-6\""}},  // kept
        {nullptr, W("--simulate --sim-reset update --all --json"), "KYFW_SIM_COUNT=3", 4,
            {"/kys/0/outcome=\"refused\"", "/kys/0/message=\"refused: no confirmation (run kyfw on a terminal or pass --yes)\"",
             "/kys/2/status=2", "state=same"}},
        {nullptr, W(kWait + " --all --sim-fault=restart-old-firmware"), "KYFW_SIM_COUNT=3", 1, {"/kys#3",
            "/kys/0/status=1", "/kys/0/after=\"1-5\"", "/kys/1/restart/confirmed=true", "/kys/1/outcome=\"done\"", "/kys/2/status=2",
            // A renamed or retyped field is not the shape that the schema field names.
            R"({"op": "move", "from": "/kys/1/outcome", "path": "/kys/1/result"} => /kys/1: )", R"({"op": "replace", "path": "/kys/0/after", "value": 26} => /kys/0/after: 26 is not of type 'string', 'null')",
            R"({"op": "replace", "path": "/kys/1/restart/reason", "value": "back"} => /kys/1/restart/reason: 'back' is not one of )", R"({"op": "move", "from": "/kys/0/update/log", "path": "/kys/0/update/log_file"} => /kys/0/update: )"}},
        {"mcore=2\nxilinx=6\nproduct=3\nserial=KY010203\n", W("--simulate update --all --yes --json"), "KYFW_SIM_COUNT=1", 2, {}},
    });
}

TEST_F(KyfwCli, ARestartThatNeverCameBackLeavesNothingAfterItAndNothingSaysDone) {
    RunTable({
        {nullptr, W(kWait + " --all --sim-fault=restart-never-back --wait-timeout 2"), "KYFW_SIM_COUNT=2", 1,
            {"/kys/0/after=null", "/kys/0/message~failed: The Ky left the bus",
             "/kys/0/update/images/mcore/ok=true"}},
        {nullptr, W("--simulate --sim-reset update --all --yes --wait --sim-fault=restart-never-back --wait-timeout 2"),
            "KYFW_SIM_COUNT=2", 1, {"out~Not Available  1-5 \u2192 ?  failed: The Ky left the bus 2 seconds ago"}},
    });
}

TEST_F(KyfwCli, AdviceIsTheCommandThatWorksOnTheKyAsItNowReads) {
    RunTable({
        {nullptr, W("--simulate --sim-reset --sim-fault=block-busy update --yes --wait"), "", 1,
            {"version=2-0", "out!Switch the Ky off", "err~ failed while sending the block at 12618: busy"}},  // the MCORE image follows; the half-written FPGA would not start
        {"mcore=2\nxilinx=6\nproduct=3\nserial=KY010203\n",
            W("--simulate --sim-fault=not-ready update --yes --reinstall --json"), "", 1,
            {"/advice=\"kyfw update --reinstall\"", "version=2-6"}},
    });
}
// clang-format on

// Each Ky of --all keeps a log of its own, the second one within the same
// second with -2 in its name.
TEST_F(KyfwCli, EachKyOfAllKeepsItsOwnLog) {
    const json kys = Doc(
        Kyfw(W(kWait + " --all --sim-fault=restart-old-firmware"), {"KYFW_SIM_COUNT=3"}))["kys"];
    const std::string a = kys[0]["update"]["log"], b = kys[1]["update"]["log"];
    const std::size_t stamp = a.rfind('-');  // update-YYYYMMDD-HHMMSS, then the process ID
    EXPECT_TRUE(b.compare(0, stamp, a, 0, stamp) || b == a.substr(0, a.size() - 4) + "-2.log")
        << a << " " << b;
    EXPECT_THAT(kytest::ReadFile(a), HasSubstr("\nRestart: The Ky came back with firmware 1-5"));
}

// clang-format off
TEST_F(KyfwCli, ArgumentsAndVariablesMeanExactlyOneThing) {
    const std::string badCount = "err=kyfw: KYFW_SIM_COUNT must be a number of Kys from 0 to 63\n";
    std::vector<Row> rows = {
        // Without a subcommand it knows, kyfw shows its usage or names what was meant.
        {nullptr, W("frobnicate"), "", 64, {"err=kyfw: no subcommand \"frobnicate\" (list, info, update, help; kyfw --help shows them)\n"}},
        {nullptr, W("--simulate lst"), "", 64, {"err^kyfw: no subcommand \"lst\"; did you mean \"list\"?"}},
        {nullptr, {}, "", 64, {"err^kyfw - firmware updater for the Ky FireWire video device\nUsage: kyfw [OPTIONS] SUBCOMMAND\n"}},
        {nullptr, W("--simulate --bogus=1"), "", 64, {"err^kyfw: The following argument was not expected: --bogus=1\nkyfw - "}},
        {nullptr, W("--version"), "", 0, {"out~ (built-in firmware 2-6)\n"}},
        {nullptr, W("--json --simulate list"), "", 0, {"/command=\"list\""}},
        {nullptr, W("list --bogus"), "", 64, {}},
        {nullptr, W("--simulate list --names --json"), "", 64, {"err^--json excludes --names"}},
        {nullptr, W("--simulate list"), "KYFW_SIM_COUNT=63", 0, {}},
        {nullptr, W("--simulate list"), "KYFW_SIM_ERASE_MS=0x10", 64, {"err~KYFW_SIM_ERASE_MS must be"}},
        {nullptr, W("--simulate list"), "KYFW_SIM_POWER_CYCLE_AFTER=soon", 64, {"err=kyfw: "
            "KYFW_SIM_POWER_CYCLE_AFTER must be a number of seconds from 0 to 3600, or never\n"}},
        // Options that mean nothing alone name their partner; numbers are decimal.
        {nullptr, W("--simulate --record-anonymous list"), "", 64, {"err^--record-anonymous requires --record"}},
        {nullptr, W("--simulate --replay-timing list"), "", 64, {"err^--replay-timing requires --replay"}},
        {nullptr, W("--simulate update --no-wait --wait-timeout 5"), "", 64, {"err^--no-wait excludes --wait-timeout"}},
        {nullptr, W("--simulate update --wait --no-wait"), "", 64, {}},
        {nullptr, W("--simulate update --all --device sim0.0"), "", 64, {}},
        {nullptr, W("--replay $DIR/r update --no-wait"), "", 64, {"err=kyfw: --no-wait means nothing with --replay: it waits for the restart as the recorded run did\n"}},
        {nullptr, W("--simulate update --wait-timeout 0x10"), "", 64, {"err^--wait-timeout: expected a whole number"}},
        {nullptr, W("--simulate list --sim-fault=absent"), "", 3, {}},
        {nullptr, W("--simulate list --sim-fault=erase-failure"), "", 64, {"err=kyfw: "
            "--sim-fault erase-failure means nothing to kyfw list: it acts on an update\n"}},
        {nullptr, W("--simulate --sim-fault=bogus update --yes"), "", 64, {}},
        {nullptr, W("--sim-fault=vanish update --yes"), "", 64, {"err=kyfw: --sim-fault needs --simulate\n"}},
        {nullptr, W("--simulate info --sim-fault=absent"), "", 64, {"err=kyfw: --sim-fault means nothing to kyfw info\n"}},
        {nullptr, W("--simulate --sim-reset update --yes --reinstall --json --sim-fault \xff"), "", 64, {"err^--sim-fault: unknown simulator fault \"\\xFF\" (see kyfw --help)\n"}},
        {nullptr, W("help update"), "", 0, {"out^Write the built-in firmware into the Ky\nUsage: kyfw update [OPTIONS]\n"}},
        {nullptr, W("help bogus"), "", 64, {"err=kyfw: no subcommand \"bogus\" (list, info, update)\n"}},
        // Found wrong once the line is read: the one document says so too.
        {nullptr, W("--simulate --sim-fault vanish list --json"), "", 64, {"/command=\"list\""}},
        {nullptr, W("--simulate --sim-fault absent info --json"), "", 64, {"/command=\"info\""}},
        {nullptr, W("--replay $DIR/r --simulate list --json"), "", 64, {"/command=\"list\""}},
        {nullptr, W("--replay $DIR/r update --wait --json"), "", 64, {"/command=\"update\""}},
    };
    for (const char* count : {"-1", "2x", "99999"})
        rows.push_back({nullptr, W("--simulate list"), std::string("KYFW_SIM_COUNT=") + count, 64, {badCount}});
    RunTable(rows);
}

TEST_F(KyfwCli, DeviceTakesAGuidADeviceFileOrAUnitAndNothingElse) {
    const auto update = [](std::vector<std::string> more) {
        std::vector<std::string> args = W("--simulate --sim-reset update --yes --reinstall --json");
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    std::vector<Row> rows;
    for (const char* d : {"0x0000D0A004120188", "0000d0a004120188", "sim1.0"})
        rows.push_back({nullptr, update({"--device", d}), "KYFW_SIM_COUNT=2", 0, {"err="}});
    rows.push_back({nullptr, update({"--device", "$DIR/sim/./fw-simulated"}), "", 0, {"err="}});
    rows.push_back({nullptr, update({"--device", "sim7.0"}), "KYFW_SIM_COUNT=2", 3, {}});
    for (const char* d : {"d0a004120187garbage", "+d0a004120187", "  d0a004120187", "", "\xff\xfe" "ab", "fw1",
                          "000d0a004120187"})  // the last: 15 digits
        rows.push_back({nullptr, update({"--device", d}), "", 64, {"err^--device: expected a GUID (16 hexadecimal digits"}});
    RunTable(rows);
}
// clang-format on

// Real pauses here: the update takes a few seconds, time for signals.
TEST_F(KyfwCli, QuitSignalsAndStopKeysDuringTheFlashWaitForItsEnd) {
    const auto r = Signalled("--simulate update --yes --wait", {"KYFW_SIM_ERASE_MS=500"},
                             {SIGINT, SIGHUP, SIGQUIT, SIGTSTP, SIGTERM}, 400);
    // and then no wait for the restart: the user asked to quit. Without a
    // terminal: a line at each change of phase and every 10%.
    EXPECT_THAT(r.err, HasSubstr("kyfw: the update will finish first; please wait."));
    EXPECT_THAT(
        r.out,
        AllOf(::testing::ContainsRegex("Done\\. Switch the Ky off and on again.*\nLog: [^\n]*\n$"),
              HasSubstr("\nXilinx: erasing 40%\n"), HasSubstr("\nXilinx: writing 50%\n"),
              HasSubstr("\nMCORE: erasing 80%\n"), HasSubstr("\nMCORE: writing 100%\n")));
    EXPECT_EQ(std::tuple(r.status, Version()), std::tuple(0, "2-6"));
}

TEST_F(KyfwCli, AQuitSignalDuringOneKysFlashStopsAllBeforeTheNext) {
    const auto all = Signalled("--simulate --sim-reset update --all --jobs 1 --yes --wait --json",
                               {"KYFW_SIM_ERASE_MS=100", "KYFW_SIM_COUNT=2"}, {SIGINT}, 400);
    const json kys = kytest::Json(all)["kys"];
    EXPECT_EQ(std::tuple(all.status, kys[1]["outcome"], kys[1]["message"],
                         kys[0]["restart"]["reason"], Version()),
              std::tuple(5, "stopped", "not started: stopped by a quit signal", "skipped", "2-6"));
}

TEST_F(KyfwCli, KysWrittenSideBySideFinishWhateverTheSignals) {
    const auto all =
        Signalled("--simulate --sim-reset update --all --yes --json",
                  {"KYFW_SIM_ERASE_MS=300", "KYFW_SIM_COUNT=2"}, {SIGINT, SIGTERM, SIGINT}, 500);
    EXPECT_EQ(std::tuple(all.status, kytest::Json(all)["kys"][1]["after"], Version()),
              std::tuple(0, json(nullptr), "2-6"));
}

TEST_F(KyfwCli, OutputThatCannotBeWrittenNeverStopsTheFlashNorPassesForDone) {
    // head leaves after the first line, while the FPGA flash is being erased.
    auto r = Shell("\"$0\" --simulate update --yes | head -1; exit ${PIPESTATUS[0]}",
                   {"KYFW_SIM_FAST=0", "KYFW_SIM_ERASE_MS=500"});
    EXPECT_THAT(r, FieldsAre(1, _,
                             HasSubstr("kyfw: the update is done, but its result could not be "
                                       "written to standard output (Broken pipe)")));
    EXPECT_EQ(Version(), "2-6");
    EXPECT_THAT(Shell("\"$0\" --simulate --sim-reset update --yes --json > /dev/full"),
                FieldsAre(1, _, HasSubstr("(No space left on device)")));
}

TEST_F(KyfwCli, StateThatCannotBeKeptFailsTheUpdateAndKeepsTheOldOne) {
    State("mcore=1\nxilinx=5\nproduct=3\nserial=KY010203\n");
    const std::string before = kytest::ReadFile(dir / "sim" / "ky.state");
    // A file-size limit stands in for a full disk.
    auto r = Shell("trap '' XFSZ; ulimit -f 64; exec \"$0\" --simulate update --yes --json");
    const json doc = Doc(r);
    EXPECT_EQ(std::tuple(r.status, doc["outcome"], kytest::ReadFile(dir / "sim" / "ky.state")),
              std::tuple(1, "failed", before));
    EXPECT_THAT(doc["message"].get<std::string>(),
                HasSubstr(Expand("The update failed: the simulated Ky's state could not be kept: "
                                 "cannot write $DIR/sim/ky.state: File too large.")));
    // Nothing can be written: no empty log is left behind.
    const fs::path logs = dir / "xdg" / "kyfirmwareupdate" / "logs";
    const auto count = [&] { return std::distance(fs::directory_iterator(logs), {}); };
    const auto logsBefore = count();
    EXPECT_THAT(Shell("trap '' XFSZ; ulimit -f 0; exec \"$0\" --simulate update --yes"),
                FieldsAre(1, _, HasSubstr("kyfw: warning: no log was kept: cannot write ")));
    EXPECT_EQ(count(), logsBefore);
    // A recording asked for and cut short fails the command after its output.
    EXPECT_THAT(Shell("trap '' XFSZ; ulimit -f 0; exec \"$0\" --simulate --record $DIR/r list"),
                FieldsAre(1, HasSubstr("Ky 1: "),
                          HasSubstr(" could not be written whole: File too large\n")));
}

TEST_F(KyfwCli, RacingUpdatersOneWritesAndTheOtherIsRefusedFirst) {
    // One of them would fail its MCORE image: the state tells who wrote.
    const std::vector<std::string> env = {"KYFW_SIM_FAST=0", "KYFW_SIM_ERASE_MS=100"};
    Kyfw({"--simulate", "list"});  // the simulated Ky's files are made before the race
    kytest::RunResult a, b;
    int pidA = 0, pidB = 0;
    std::thread first([&] {
        a = kytest::Run(KYFW_PATH, {"--simulate", "update", "--yes"}, Env(env),
                        [&](int pid) { pidA = pid; });
    });
    b = kytest::Run(KYFW_PATH, {"--simulate", "--sim-fault=mcore-crc-rejected", "update", "--yes"},
                    Env(env), [&](int pid) { pidB = pid; });
    first.join();
    ASSERT_EQ((a.status == 4) + (b.status == 4), 1) << a.err << b.err;
    const bool aWon = b.status == 4;
    // The winner says what it is doing: still checking, or writing.
    const std::string winner = "kyfw (process " + std::to_string(aWon ? pidA : pidB) + ")";
    EXPECT_THAT((aWon ? b : a).err,  // the loser's
                AnyOf("kyfw: refusing to update: the Ky is being written by " + winner + "\n",
                      "kyfw: refusing to update: the Ky is held by " + winner +
                          ", waiting for confirmation; nothing has been written yet\n"));
    // An erased MCORE area reads 0.
    EXPECT_EQ(std::tuple((aWon ? a : b).status, Version()),
              std::tuple(aWon ? 0 : 1, aWon ? "2-6" : "0-6"));
}

TEST_F(KyfwCli, AProgramUsingTheKyOrAVideoApplicationStopsTheUpdate) {
    Kyfw({"--simulate", "list"});  // makes the simulated Ky's device file
    fs::copy_file("/bin/sleep", dir / "kdenlive");
    for (bool video : {false, true}) {
        // A program that holds the device file comes first.
        kytest::Sleeper videoApp(dir / "kdenlive", "", Env());
        std::optional<kytest::Sleeper> holder;
        if (!video) holder.emplace("/bin/sleep", dir / "sim" / "fw-simulated", Env());
        const std::string refusal = video ? "the video application kdenlive (process " +
                                                std::to_string(videoApp.pid) +
                                                ") may be using the Ky; quit it first"
                                          : "the Ky is in use by sleep (process " +
                                                std::to_string(holder->pid) + "); quit it first";
        const auto text = Kyfw(W("--simulate update --yes")),
                   doc = Kyfw(W("--simulate update --yes --json"));
        // kyfw as installed sees the machine's processes, whatever its
        // environment says (another kdenlive there may come first).
        const std::string none = "PROCFS=" + (dir / "none").string();
        EXPECT_THAT(kytest::Run(KYFW_SHIPPED, W("--simulate update --yes"),
                                Env({"KYFW_" + none, "KYTEST_" + none})),
                    FieldsAre(4, "", StartsWith(text.err.substr(0, text.err.find("(process ")))));
        EXPECT_EQ(std::to_string(text.status) + text.err + std::to_string(doc.status) +
                      Doc(doc).value("message", ""),
                  "4kyfw: refusing to update: " + refusal + "\n4refusing to update: " + refusal);
    }
}

// At its prompt the updater holds the Ky: a second one is refused, and a
// program that opens the Ky meanwhile stops the update before it writes.
TEST_F(KyfwCli, AtItsPromptTheUpdaterHoldsTheKyAndLooksForUsersAgain) {
    std::optional<kytest::Sleeper> holder;
    const auto first = OnTerminal("--simulate update", "[y/N] ", " Yes \n", {}, [&](pid_t pid) {
        const auto second = Kyfw({"--simulate", "update", "--yes"});
        EXPECT_EQ(std::to_string(second.status) + second.err,
                  "4kyfw: refusing to update: the Ky is held by kyfw (process " +
                      std::to_string(pid) +
                      "), waiting for confirmation; nothing has been written yet\n");
        holder.emplace("/bin/sleep", dir / "sim" / "fw-simulated", Env());
    });
    EXPECT_THAT(first,
                Shows(4, "the Ky is in use by sleep (process " + std::to_string(holder->pid)));
    holder.reset();
    EXPECT_EQ(Version(), "1-5");
}

TEST_F(KyfwCli, OnATerminalTheRestartIsWaitedForAndCtrlCStopsTheWaitingOnly) {
    EXPECT_THAT(OnTerminal("--simulate update", "[y/N] ", "Y\n"),
                Shows(0,
                      "Waiting for it to come back (Ctrl+C to stop waiting)\u2026\r\nThe Ky "
                      "now runs firmware 2-6.\r\n"));
    // There and in its replay.
    const std::string stopped = "Stopped waiting: the restart is not confirmed.";
    EXPECT_THAT(
        OnTerminal("--simulate --record $DIR/r.jsonl update --yes --reinstall --wait-timeout 86400",
                   "stop waiting)", "", {"KYFW_SIM_POWER_CYCLE_AFTER=never"},
                   [](pid_t pid) { kill(pid, SIGINT); }),
        Shows(0, stopped));
    EXPECT_THAT(Kyfw(W("--replay $DIR/r.jsonl update --yes --reinstall")),
                FieldsAre(0, HasSubstr(stopped), ""));
    EXPECT_EQ(Version(), "2-6");
}

TEST_F(KyfwCli, OnATerminalNothingButAYesConsents) {
    // One Ky of --all is asked about as one; end of input starts a line of its own.
    EXPECT_THAT(OnTerminal("--simulate update --all", "Update this Ky? [y/N] ", "\x04"),
                Shows(4, "[y/N] \r\nSummary"));
    EXPECT_THAT(OnTerminal("--simulate update --json", "", ""),  // on a terminal
                Shows(4, "without confirmation: pass --yes (--json asks no question)"));
    // On a terminal, --yes alone never downgrades.
    State(kNewer);
    EXPECT_THAT(OnTerminal("--simulate update --yes",
                           "This is a downgrade. Replace firmware 3-0 with the older 2-6", "\n"),
                StartsWith("4 "));
    EXPECT_EQ(Version(), "3-0");
}

TEST_F(KyfwCli, ASilentSystemBusDelaysTheUpdateByHalfASecondAtMost) {
    kytest::SilentBus silent(dir / "system_bus_socket");
    kytest::PtyProcess p(KYFW_PATH, {"--simulate", "update"},
                         Env({"DBUS_SYSTEM_BUS_ADDRESS=" + silent.Address()}));
    ASSERT_TRUE(p.WaitFor("[y/N] ")) << p.Output();
    const auto asked = std::chrono::steady_clock::now();
    p.Type("y\n");
    ASSERT_TRUE(p.WaitFor("Done.")) << p.Output();  // the whole update: its pauses are instant
    // Far from the bus library's own 25 s, and loose enough for a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(p.Wait(), 0);
    const std::string log = p.Output().substr(p.Output().find("Log: ") + 5);
    EXPECT_THAT(kytest::ReadFile(log.substr(0, log.find_first_of("\r\n"))),
                HasSubstr("logind cannot be reached (no answer within 500 ms)"));
}

TEST_F(KyfwCli, NoFileOfAnotherOwnerIsWrittenThrough) {
    kytest::WriteFile(dir / "victim", "precious");
    fs::create_directories(dir / "sim");
    fs::create_symlink(dir / "victim", dir / "sim" / "ky.state");
    const std::string symlinked = "err~ky.state: it is a symbolic link, which is not followed";
    RunTable({{nullptr, W("--simulate list"), "", 3, {symlinked}},
              {nullptr, W("--simulate update --yes"), "", 3, {symlinked}}});
    fs::remove(dir / "sim" / "ky.state");
    // Nor a link in place of the lock, the device file or a recording.
    for (const fs::path& link : {dir / "sim" / "lock", dir / "sim" / "fw-simulated", dir / "r"}) {
        fs::remove(link);
        fs::create_symlink(dir / "victim", link);
        EXPECT_NE(Kyfw(W("--simulate --record $DIR/r update --yes")).status, 0);
        fs::remove(link);
    }
    EXPECT_EQ(kytest::ReadFile(dir / "victim"), "precious");
    const fs::path xdg = dir / "xdg" / "kyfirmwareupdate", sim = xdg / "simulated-ky";
    const std::string writable = ": others may write to it (make it private with chmod 700)";
    // What is made, the arguments, the exit status, how standard error begins after "kyfw: ".
    // clang-format off
    const std::vector<std::tuple<std::function<void()>, std::string, int, std::string>> cases = {
        {[&] { fs::permissions(dir / "sim", fs::perms::all); }, "--simulate list", 3,
         "refusing to use " + (dir / "sim").string() + writable},
        {[&] { fs::permissions(dir / "sim", fs::perms::owner_all); mkfifo((dir / "sim" / "ky.state").c_str(), 0600); },
         "--simulate list --json", 3, "the simulated Ky's state $DIR/sim/ky.state cannot be used (refusing to use "
         "$DIR/sim/ky.state: it is not a regular file)"},
        {[&] { State(""); mkfifo((dir / "rec").c_str(), 0600); }, "--simulate --record $DIR/rec list --json", 64,
         "refusing to use $DIR/rec: it is not a regular file"},
        {[] {}, "--replay /dev/null list --json", 64, "cannot read /dev/null: it is not a regular file"},
        // The state directory itself, without KYFW_SIM_STATE.
        {[&] { fs::create_directories(xdg); fs::permissions(xdg, fs::perms::all); }, "--simulate list --json", 3,
         "refusing to use " + xdg.string() + writable},
        {[&] { fs::remove_all(xdg); fs::create_directories(dir / "elsewhere"); fs::create_symlink(dir / "elsewhere", xdg); },
         "--simulate list", 3, "cannot use the directory " + xdg.string() + ": it is a symbolic link"},
    };
    // clang-format on
    for (const auto& [make, args, status, err] : cases) {
        SCOPED_TRACE(args);
        make();
        const bool ownState = args.find("$DIR/rec") == std::string::npos && status == 3 &&
                              err.find(xdg.string()) != std::string::npos;
        std::vector<std::string> env = Env();
        if (ownState) env.erase(env.begin());  // the state directory's own simulated Ky
        const auto r = kytest::Run(KYFW_PATH, W(Expand(args)), env);
        EXPECT_THAT(r, FieldsAre(status, _, StartsWith("kyfw: " + Expand(err))));
        if (args.find("--json") != std::string::npos) {  // its outcome is its status's
            EXPECT_EQ("kyfw: " + Doc(r).value("message", "") + "\n", r.err);
        }
    }
    // A simulated Ky's directory that others may read is made private.
    fs::remove_all(xdg);
    fs::create_directories(sim);
    fs::permissions(sim, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    const auto r = kytest::Run(KYFW_PATH, W("--simulate list"),
                               {"XDG_STATE_HOME=" + (dir / "xdg").string(), view.Env()});
    EXPECT_EQ(std::tuple(r.status, fs::status(sim).permissions(), fs::status(xdg).permissions()),
              std::tuple(0, fs::perms::owner_all, fs::perms::owner_all));
}

TEST_F(KyfwCli, EachKeptRecordingReplaysAsItWasMade) {
    // Each was made by a run that ended with 0.
    for (const auto& name : W("list update umockdev-list umockdev-update umockdev-bus-reset")) {
        SCOPED_TRACE(name);
        const auto r =
            Kyfw(W("--replay " + Unpack(name) +
                   (name.ends_with("list") ? " list" : " update --yes --reinstall --json")));
        // The update waited for a confirmed restart: it is replayed too.
        const bool confirmed = r.out.find("\"reason\": \"confirmed\"") != std::string::npos;
        EXPECT_EQ(std::tuple(r.status, r.err, confirmed), std::tuple(0, "", name == "update"));
    }
}

// A call that differs ends the replay: another call (a listing is no
// update), a request of another kind, address, length, data or hash, or a
// recorded call left over; each shows where.
TEST_F(KyfwCli, ACallThatDiffersEndsTheReplayAndShowsWhere) {
    Unpack("list"), Unpack("update");
    // clang-format off
    const std::vector<std::tuple<std::string, std::string, std::string>> differing = {
        {"cat list.jsonl", "update --yes", "after its end:\n  recorded: (nothing more)\n  made:     discovery\n"},
        {"sed s/bread/qread/ list.jsonl", "list", "at line 9:\n  recorded: qread 0xfffff0430220 len 8 on sim0.0\n  made:     bread 0xfffff0430220 len 8 on sim0.0\n"},
        {"sed s/f0430008/f043000c/ list.jsonl", "list", "at line 8:\n  recorded: qread 0xfffff043000c len 4 on sim0.0\n  made:     qread 0xfffff0430008 len 4 on sim0.0\n"},
        {"sed 's/:128\\(,.fnv1a.:.0x709738f5\\)/:64\\1/' update.jsonl", "update --yes", "at line 34:\n  recorded: bwrite 0xfffff0430020 len 64 fnv1a 0x709738f59b19c3d0 on sim0.0\n  made:     bwrite 0xfffff0430020 len 128 fnv1a"},
        {"sed s/00052328/00052329/ update.jsonl", "update --yes", "at line 33:\n  recorded: bwrite 0xfffff0430020 len 20 data ffff000100052329"},
        {"sed s/9b19c3d0/9b19c3d1/ update.jsonl", "update --yes", "at line 34:\n  recorded: bwrite 0xfffff0430020 len 128 fnv1a 0x709738f59b19c3d1 on sim0.0\n  made:     bwrite 0xfffff0430020 len 128 fnv1a 0x709738f59b19c3d0 on sim0.0\n"},
        {"(cat list.jsonl; tail -1 list.jsonl)", "list", "at line 11:\n  recorded: close sim0.0\n  made:     (nothing more)\n"},
        // The wait's clock is replayed as recorded; a recording of format 1 holds no restart.
        {"sed 3240d update.jsonl", "update --yes", "at line 3240:\n  recorded: discovery\n  made:     clock\n"},
        {"sed '1s/:3,/:1,/;/clock\\|restart/d' update.jsonl", "update --yes", "at line 3234:\n  recorded: discovery\n  made:     (nothing more)\n  A recording of format version 1 does not say that its run waited for the Ky's restart: a restart it holds is not replayed.\n"},
    };
    for (const auto& [make, command, differs] : differing) {
        SCOPED_TRACE(make);
        Shell("cd $DIR && " + make + " > other.jsonl");
        EXPECT_THAT(Kyfw(W("--replay $DIR/other.jsonl " + command)),
                    FieldsAre(1, _, HasSubstr("kyfw: the replay differs from the recording " + differs)));
    }
    // clang-format on
}

// However a replay ends, its one document's outcome is the word of its
// exit status (as Doc checks): a discovery that differs, a recording of its
// header alone, a restart cut short, which nobody stopped.
TEST_F(KyfwCli, HoweverAReplayEndsItsDocumentSaysSo) {
    Unpack("list"), Unpack("update");
    Shell("cd $DIR && sed 2d list.jsonl > other.jsonl && head -1 list.jsonl > header.jsonl");
    Shell("cd $DIR && awk '/clock/ { n++ } n < 3' update.jsonl > cut.jsonl");
    for (const char* replayed : {"other.jsonl list", "header.jsonl list", "cut.jsonl update --yes"})
        EXPECT_EQ(DocOf("--replay $DIR/" + std::string(replayed) + " --json")["outcome"], "failed");
    EXPECT_EQ(DocOf("--replay $DIR/cut.jsonl update --yes --json")["restart"]["reason"],
              "not-replayed");
}

TEST_F(KyfwCli, AReplayGoesWithNoSimulationAndNoRecordingOntoItself) {
    const std::string list = Unpack("list");  // onto itself, by whatever name
    EXPECT_THAT(Kyfw(W("--replay $DIR/list.jsonl --record $DIR/./list.jsonl list")),
                FieldsAre(64, _, HasSubstr("--record and --replay name the same file")));
    EXPECT_EQ(Kyfw({"--replay", list, "--simulate", "list"}).err,
              "kyfw: --replay and --simulate do not go together\n");
}

TEST_F(KyfwCli, TheRecordedTimesAreThePausesOfTheRunAndAreReplayed) {
    // Each recorded time is the pause since the event before: together no
    // longer than the run that made them.
    const auto begin = std::chrono::steady_clock::now();
    Kyfw(W("--simulate --sim-reset --record $DIR/made.jsonl update --yes"));
    const auto took = std::chrono::steady_clock::now() - begin;
    long long sum = 0;
    std::istringstream made(kytest::ReadFile(dir / "made.jsonl"));
    for (std::string line; std::getline(made, line);) sum += json::parse(line).value("t", 0LL);
    EXPECT_LE(sum, std::chrono::duration_cast<std::chrono::microseconds>(took).count());
    // The wait is replayed on the recorded times, here ten times as long.
    Shell("sed 's/\"now\":[1-9][0-9]*/&0/' " + Unpack("update") + " > $DIR/slow.jsonl");
    EXPECT_EQ(DocOf("--replay $DIR/slow.jsonl update --yes --json")["restart"]["waited_seconds"],
              20.0);
    // With the recorded pauses (the listing took a few milliseconds), after a
    // blank line before the header.
    Shell("(echo; cat " + Unpack("list") + ") > $DIR/blank.jsonl");
    EXPECT_EQ(Kyfw(W("--replay $DIR/blank.jsonl --replay-timing list")).status, 0);
}

TEST_F(KyfwCli, TextThatIsUtf8OrNotIsReplayedByteForByte) {
    for (const std::string state : {"st\xc3\xa4te", "st\xff"}) {
        const auto made = Kyfw(W("--simulate --record $DIR/text.jsonl list"),
                               {"KYFW_SIM_STATE=" + (dir / state).string()});
        EXPECT_EQ(Kyfw(W("--replay $DIR/text.jsonl list")).out, made.out);
    }
}

// A recording that is no recording is refused, naming its line, and
// nothing named on the command line is touched.
TEST_F(KyfwCli, ANonsenseRecordingIsNamedAndTouchesNothing) {
    const std::string head = "{\"format\":\"kyfw-recording\",\"version\":1}\n{\"t\":1,";
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> nonsense = {
        {head + "\"ev\":\"discov", "line 2: not one JSON object (a recording cut off here, or bytes after it?)"},
        {head + "\"ev\":\"close\",\"unit\":\"x\"} {}\n",
         "line 2: not one JSON object (a recording cut off here, or bytes after it?)"},
        {"{\"format\":\"kyfw-recording\",\"version\":4}\n",
         "line 1: recording format version 4, this kyfw reads versions 1 to 3 (a number)"},
        {"\n{\"format\":\"kyfw-recording\",\"version\":\"1\"}\n",
         "line 2: recording format version \"1\", this kyfw reads versions 1 to 3 (a number)"},
        {head + "\"ev\":\"restart\",\"wait_seconds\":0}\n", "line 2: \"wait_seconds\" is out of range"},
        // A wait's clock runs forwards, within its two halves (300 s each) and five minutes past each.
        {head + "\"ev\":\"restart\",\"wait_seconds\":300}\n{\"t\":1,\"ev\":\"clock\",\"now\":500}\n{\"t\":1,\"ev\":\"clock\",\"now\":499}\n",
         "line 4: the clock runs backwards, from 500 to 499 microseconds"},
        {head + "\"ev\":\"restart\",\"wait_seconds\":300}\n{\"t\":1,\"ev\":\"clock\",\"now\":1200000000}\n{\"t\":1,\"ev\":\"clock\",\"now\":1200000001}\n",
         "line 4: the clock reads 1200000001 microseconds, more than its wait for a restart could take"},
        {head + "\"ev\":\"clock\",\"now\":0}\n", "line 2: a clock reading outside a wait for a restart"},
        // No gap is longer than the longest wait for a restart (a day each half, and five minutes).
        {"{\"format\":\"kyfw-recording\",\"version\":3}\n{\"t\":173400000001,\"ev\":\"stop\"}\n", "line 2: \"t\" is out of range"},
        {"\n", "line 1: the recording is empty"},
        {head + "\"ev\":\"open\",\"unit\":\"x\"}\n", "line 2: \"status\" is missing or of the wrong type"},
        {head + "\"ev\":\"request\",\"status\":0,\"kind\":\"bread\",\"addr\":\"0x1\","
         "\"len\":99999999,\"generation\":1}\n", "line 2: \"len\" is out of range"},
    };
    // clang-format on
    for (const auto& [text, reason] : nonsense) {
        std::ofstream(dir / "bad.jsonl") << text;
        EXPECT_THAT(
            Kyfw(W("--replay $DIR/bad.jsonl list")),
            FieldsAre(64, _, Expand("kyfw: cannot replay $DIR/bad.jsonl: " + reason + "\n")));
    }
    // Nothing named on the command line is changed before all of it has been
    // checked: a replay that cannot start leaves the recording's file as it was.
    const fs::path keep = dir / "keep.jsonl";
    kytest::WriteFile(keep, "precious");
    for (const std::string replay : {"$DIR/missing.jsonl", "$DIR/bad.jsonl", "/dev/stdin"})
        EXPECT_EQ(Kyfw(W("--replay " + replay + " --record $DIR/keep.jsonl list")).status, 64);
    EXPECT_EQ(kytest::ReadFile(keep), "precious");
    // The recording of a run that failed is kept, moved into place whole.
    EXPECT_EQ(Kyfw(W("--simulate --sim-fault absent --record $DIR/keep.jsonl list")).status, 3);
    EXPECT_THAT(kytest::ReadFile(keep), StartsWith("{\"format\":\"kyfw-recording\""));
    for (const auto& entry : fs::directory_iterator(dir.Path()))
        EXPECT_FALSE(entry.path().string().ends_with(".partial")) << entry.path();
}

TEST_F(KyfwCli, HelpTextIsTheReadmeUsage) {
    const std::string readme = kytest::ReadFile(KY_README);
    const std::string begin = "<!-- kyfw --help -->\n```\n", end = "```\n<!-- end -->";
    const auto from = readme.find(begin), to = readme.find(end);
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos);
    std::string help;
    for (const std::string sub : {"", "list ", "info ", "update "}) {
        const auto r = Kyfw(W(sub + "--help"));
        EXPECT_EQ(r.status, 0);
        help += "$ kyfw " + sub + "--help\n" + r.out;
    }
    EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()), help);
}

}  // namespace
