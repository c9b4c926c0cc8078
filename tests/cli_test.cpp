// kyfw as a user runs it, on the simulated Ky: listing, the built-in
// images, and updates with every exit status, their JSON, the refusals, the
// log and a quit signal during the flash.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/Pty.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class KyfwCli : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("kyfw-update-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    // The test's own state, instant pauses, then `more` (which may override).
    std::vector<std::string> Env(const std::vector<std::string>& more = {}) {
        std::vector<std::string> env = {"KYFW_SIM_STATE=" + (dir / "sim").string(),
                                        "XDG_STATE_HOME=" + (dir / "xdg").string(),
                                        "KYFW_SIM_FAST=1"};
        env.insert(env.end(), more.begin(), more.end());
        return env;
    }
    kytest::RunResult Kyfw(std::vector<std::string> args, std::vector<std::string> env = {}) {
        return kytest::Run(KYFW_PATH, args, Env(env));
    }
    // A shell line with kyfw as $0.
    kytest::RunResult Shell(const std::string& line, std::vector<std::string> env = {}) {
        return kytest::Run("/bin/bash", {"-c", line, KYFW_PATH}, Env(env));
    }
    std::string Version() {
        return Doc(Kyfw({"--simulate", "list", "--json"}))["devices"][0]["firmware_version"];
    }
    std::string StateFile() {
        std::ifstream in(dir / "sim" / "ky.state", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    json Doc(const kytest::RunResult& r) {
        try {
            return json::parse(r.out);
        } catch (const std::exception&) {
            ADD_FAILURE() << "not one JSON document: " << r.out << r.err;
            return {};
        }
    }
    void State(const std::string& text) {
        fs::create_directories(dir / "sim");
        std::ofstream(dir / "sim" / "ky.state") << text;
    }
    fs::path dir;
};

TEST_F(KyfwCli, ListShowsTheSimulatedKyAsAnUpgrade) {
    auto r = Kyfw({"--simulate", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Ky 1: " + (dir / "sim" / "fw-simulated").string() +
                         " (unit sim0.0, GUID 0x0000d0a004120187)\n"
                         "  firmware version: 1-5 (MCORE-Xilinx)\n"
                         "  serial number:    Not Available\n"
                         "  product version:  3\n"
                         "  status:           ready\n"
                         "  built-in 2-6:     upgrade\n");
    EXPECT_EQ(r.err, "");  // trace lines stay out of sight without --verbose
    // No Ky: the reason, in words and for programs.
    r = Kyfw({"--simulate", "list"}, {"KYFW_SIM_COUNT=0"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out,
              "No Ky found: the FireWire controller sees no other device: is the Ky connected and "
              "switched on?\n");
    EXPECT_EQ(Doc(Kyfw({"--simulate", "list", "--json"}, {"KYFW_SIM_COUNT=0"}))["reason"]["code"],
              "no-ky");
}

TEST_F(KyfwCli, SimulateIsAcceptedAfterTheSubcommandAndStateIsKept) {
    State("mcore=3\nxilinx=0\nproduct=3\nserial=KY010203\n");
    auto r = Kyfw({"list", "--simulate", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto doc = json::parse(r.out);
    ASSERT_EQ(doc["devices"].size(), 1u);
    EXPECT_EQ(doc["devices"][0]["firmware_version"], "3-0");
    EXPECT_EQ(doc["devices"][0]["serial_number"], "KY010203");
    EXPECT_EQ(doc["devices"][0]["built_in"], "downgrade");
    EXPECT_EQ(doc["devices"][0]["product_version"], 3);  // the register's upper half
    EXPECT_EQ(doc["built_in_version"], "2-6");
}

TEST_F(KyfwCli, UnsupportedProductIsListedButNotUsable) {
    State("mcore=2\nxilinx=6\nproduct=4\nserial=KY010203\n");
    auto r = Kyfw({"--simulate", "list", "--json"});
    EXPECT_EQ(r.status, 3);
    auto doc = json::parse(r.out);
    EXPECT_EQ(doc["devices"][0]["usable"], false);
    EXPECT_EQ(doc["devices"][0]["status"], "product version not supported by this updater");
}

TEST_F(KyfwCli, ResetStartsAfreshAndVerboseShowsTraces) {
    State("mcore=2\nxilinx=6\nproduct=3\nserial=KY010203\n");
    const std::string before = StateFile();
    auto r = Kyfw({"--simulate", "--sim-reset", "--verbose", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("1-5"), std::string::npos);
    EXPECT_EQ(StateFile(), before);  // listing never writes the state
    EXPECT_NE(r.err.find("Ctor DownloadUnit\nFWDL::Open\nFWDL::Close\nDtor DownloadUnit\n"),
              std::string::npos);
}

TEST_F(KyfwCli, InfoDescribesBothBuiltInImages) {
    auto r = Kyfw({"info"});
    EXPECT_EQ(r.status, 0);
    for (const char* line : {"  size:                336754 bytes\n",
                             "  configuration data:  offset 74, length 336680 bytes\n",
                             "  size:                71260 bytes\n", "  version:             6\n",
                             "  version:             2\n", "  start address:       0x00000400\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
    auto doc = json::parse(Kyfw({"info", "--json"}).out);
    EXPECT_EQ(doc["images"][0]["config_offset"], 74);
    EXPECT_EQ(doc["images"][0]["crc16"], "0xE2EF");
    EXPECT_EQ(doc["images"][1]["size"], 71260);
    EXPECT_EQ(doc["images"][1]["stretches"].size(), 2u);
}

TEST_F(KyfwCli, UsageErrorsExitWith64) {
    EXPECT_EQ(Kyfw({"frobnicate"}).status, 64);
    EXPECT_EQ(Kyfw({}).status, 64);
    EXPECT_EQ(Kyfw({"list", "--bogus"}).status, 64);
}

TEST_F(KyfwCli, SuccessThenNothingToDoThenReinstall) {
    auto r = Kyfw({"--simulate", "update", "--yes", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    json doc = Doc(r);
    EXPECT_EQ(doc["outcome"], "done");
    EXPECT_EQ(doc["images"]["xilinx"]["ok"], true);
    EXPECT_EQ(doc["images"]["mcore"]["ok"], true);
    EXPECT_EQ(doc["device"]["firmware_version"], "1-5");
    const std::string log = doc["log"];
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("Start Download Thread\n"), std::string::npos);
    EXPECT_NE(text.find("Opening Xilinx data file\n"), std::string::npos);
    EXPECT_EQ(text.rfind("Delete Download Thread\n") != std::string::npos, true);
    EXPECT_EQ(Doc(Kyfw({"--simulate", "list", "--json"}))["devices"][0]["firmware_version"], "2-6");

    r = Kyfw({"--simulate", "update", "--yes"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out,
              "The Ky already has firmware 2-6; nothing to do (--reinstall writes it again).\n");
    EXPECT_EQ(Doc(Kyfw({"update", "--simulate", "--json"}))["outcome"], "nothing-to-do");
    EXPECT_EQ(Kyfw({"--simulate", "update", "--yes", "--reinstall"}).status, 0);
}

TEST_F(KyfwCli, TextOutputNamesTheLogAndTellsToPowerCycle) {
    auto r = Kyfw({"--simulate", "update", "--yes"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Updating the Ky at ", 0), 0u);
    EXPECT_NE(r.out.find("MCORE: writing 100%\n"), std::string::npos);
    EXPECT_NE(r.out.find("Done. Switch the Ky off and on again to start firmware 2-6.\nLog: "),
              std::string::npos);
    EXPECT_EQ(r.err, "");
    // A log that cannot be kept is not named, and the user is told why.
    r = Kyfw({"--simulate", "update", "--yes", "--reinstall"}, {"XDG_STATE_HOME=/dev/null"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("Log: "), std::string::npos);
    EXPECT_EQ(r.err,
              "kyfw: warning: no log was kept: cannot create the directory "
              "/dev/null/kyfirmwareupdate: Not a directory\n");
}

TEST_F(KyfwCli, DowngradeNeedsConsent) {
    State("mcore=3\nxilinx=0\nproduct=3\nserial=KY010203\n");
    auto r = Kyfw({"--simulate", "update", "--yes"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err,
              "kyfw: refusing to downgrade the Ky from 3-0 to 2-6 without --allow-downgrade\n");
    r = Kyfw({"--simulate", "update", "--yes", "--allow-downgrade", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Doc(r)["outcome"], "done");
}

TEST_F(KyfwCli, WithoutATerminalAndWithoutYesNothingIsTouched) {
    auto r = Kyfw({"--simulate", "update", "--json"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(Doc(r)["outcome"], "refused");
    EXPECT_EQ(Doc(Kyfw({"--simulate", "list", "--json"}))["devices"][0]["firmware_version"], "1-5");
}

TEST_F(KyfwCli, SeveralKysNeedADevice) {
    auto r = Kyfw({"--simulate", "update", "--yes"}, {"KYFW_SIM_COUNT=2"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(
        r.err.find("several Kys found; choose one with --device:\n  --device 0x0000d0a004120187"),
        std::string::npos);
    r = Kyfw({"--simulate", "update", "--yes", "--device", "0x0000d0a004120188", "--json"},
             {"KYFW_SIM_COUNT=2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Doc(r)["device"]["guid"], "0x0000d0a004120188");
    EXPECT_EQ(Kyfw({"--simulate", "update", "--yes", "--device", "0x0000d0a0ffffffff"}).status, 3);
}

TEST_F(KyfwCli, RefusedWhileAnotherProgramHoldsTheKy) {
    Kyfw({"--simulate", "list"});  // makes the simulated Ky's device file
    const fs::path node = dir / "sim" / "fw-simulated";
    pid_t child = fork();
    if (child == 0) {
        const int fd = open(node.c_str(), O_RDONLY);
        (void)fd;
        execl("/bin/sleep", "sleep", "20", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto r = Kyfw({"--simulate", "update", "--yes"});
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "kyfw: refusing to update: the Ky is in use by sleep (process " +
                         std::to_string(child) + "); quit it first\n");
}

struct FaultCase {
    const char* fault;
    int status;
    const char* outcome;
    const char* xilinxStep;  // "" when the FPGA image succeeds
    bool mcoreOk;
};

TEST_F(KyfwCli, EachInjectedFaultEndsHonestly) {
    const std::vector<FaultCase> cases = {
        {"not-ready", 1, "failed", "entering update mode", true},
        {"erase-failure", 1, "failed", "erasing", true},
        {"erase-timeout", 1, "failed", "erasing (the erase timed out after a minute)", false},
        {"block-busy", 1, "failed", "sending the block at 12618", true},
        {"crc-rejected", 1, "failed", "verifying the CRC", false},
        {"vanish", 1, "failed", "sending the block at 63818", false},
        {"bus-reset", 0, "done", "", true},
        {"mcore-erase-failure", 1, "failed", "", false},
        {"mcore-crc-rejected", 1, "failed", "", false},
        {"in-use", 4, "refused", nullptr, false},
        {"absent", 3, "no-device", nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        auto r = Kyfw({"--simulate", "--sim-reset", std::string("--sim-fault=") + c.fault, "update",
                       "--yes", "--json"});
        EXPECT_EQ(r.status, c.status) << r.err;
        const json doc = Doc(r);
        EXPECT_EQ(doc["outcome"], c.outcome);
        if (!c.xilinxStep) continue;
        EXPECT_EQ(doc["images"]["xilinx"]["ok"], std::string(c.xilinxStep).empty());
        if (*c.xilinxStep) {
            EXPECT_EQ(doc["images"]["xilinx"]["step"], c.xilinxStep);
        }
        EXPECT_EQ(doc["images"]["mcore"]["ok"], c.mcoreOk);
    }
    auto text = Kyfw({"--simulate", "--sim-reset", "--sim-fault=block-busy", "update", "--yes"});
    EXPECT_NE(
        text.err.find("kyfw: The FPGA (Xilinx) image failed while sending the block at 12618: "
                      "busy (error -536870187). Do not switch the Ky off"),
        std::string::npos);
    text = Kyfw({"--simulate", "--sim-reset", "--sim-fault=mcore-crc-rejected", "update", "--yes"});
    EXPECT_NE(text.err.find("kyfw: The MCORE image failed while verifying the CRC: "),
              std::string::npos);
    EXPECT_EQ(text.out.find("Done"), std::string::npos);
    EXPECT_EQ(Kyfw({"--simulate", "--sim-fault=bogus", "update", "--yes"}).status, 64);
    auto real = Kyfw({"--sim-fault=vanish", "update", "--yes"});
    EXPECT_EQ(real.status, 64);
    EXPECT_EQ(real.err, "kyfw: --sim-fault needs --simulate\n");
}

TEST_F(KyfwCli, SignalsAndStopKeysDuringTheFlashWaitForTheEnd) {
    // Real pauses here: the update takes a few seconds, time for signals.
    auto r = kytest::Run(KYFW_PATH, {"--simulate", "update", "--yes"},
                         Env({"KYFW_SIM_FAST=0", "KYFW_SIM_ERASE_MS=500"}), [](int pid) {
                             for (int signal : {SIGINT, SIGHUP, SIGQUIT, SIGTSTP, SIGTERM}) {
                                 std::this_thread::sleep_for(std::chrono::milliseconds(400));
                                 kill(pid, signal);
                             }
                         });
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("kyfw: the update will finish first; please wait."), std::string::npos);
    EXPECT_NE(r.out.find("Done. Switch the Ky off and on again"), std::string::npos);
    EXPECT_EQ(Version(), "2-6");
    // Without a terminal: a line at each change of phase and every 10%.
    for (const char* line : {"\nXilinx: erasing 40%\n", "\nXilinx: writing 50%\n",
                             "\nMCORE: erasing 80%\n", "\nMCORE: writing 100%\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
}

TEST_F(KyfwCli, OutputThatCannotBeWrittenNeverStopsTheFlashNorPassesForDone) {
    // head leaves after the first line, while the FPGA flash is being erased.
    auto r = Shell("\"$0\" --simulate update --yes | head -1; exit ${PIPESTATUS[0]}",
                   {"KYFW_SIM_FAST=0", "KYFW_SIM_ERASE_MS=500"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("kyfw: the update is done, but its result could not be written to "
                         "standard output (Broken pipe)"),
              std::string::npos);
    EXPECT_EQ(Version(), "2-6");
    auto full = Shell("\"$0\" --simulate --sim-reset update --yes --json > /dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("(No space left on device)"), std::string::npos);
}

TEST_F(KyfwCli, StateThatCannotBeKeptFailsTheUpdateAndKeepsTheOldOne) {
    State("mcore=1\nxilinx=5\nproduct=3\nserial=KY010203\n");
    const std::string before = StateFile();
    // A file-size limit stands in for a full disk.
    auto r = Shell("trap '' XFSZ; ulimit -f 64; exec \"$0\" --simulate update --yes --json");
    EXPECT_EQ(r.status, 1);
    const json doc = Doc(r);
    EXPECT_EQ(doc["outcome"], "failed");
    EXPECT_NE(doc["message"].get<std::string>().find(
                  "The update failed: the simulated Ky's state could not be kept: cannot write " +
                  (dir / "sim" / "ky.state").string() + ": File too large."),
              std::string::npos);
    EXPECT_EQ(StateFile(), before);

    State("mcore=one\n");
    r = Kyfw({"--simulate", "list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "kyfw: the simulated Ky's state " + (dir / "sim" / "ky.state").string() +
                         " cannot be used (mcore= is not a number from 0 to 65535); start "
                         "afresh with --sim-reset\n");
}

TEST_F(KyfwCli, RacingUpdatersOneWritesAndTheOtherIsRefusedFirst) {
    // One of them would fail its MCORE image: the state tells who wrote.
    const std::vector<std::string> env = {"KYFW_SIM_FAST=0", "KYFW_SIM_ERASE_MS=100"};
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
    const auto& loser = aWon ? b : a;
    EXPECT_EQ(loser.err, "kyfw: refusing to update: the Ky is being updated by kyfw (process " +
                             std::to_string(aWon ? pidA : pidB) + ")\n");
    EXPECT_EQ((aWon ? a : b).status, aWon ? 0 : 1);
    EXPECT_EQ(Version(), aWon ? "2-6" : "0-6");  // an erased MCORE area reads 0
}

TEST_F(KyfwCli, AtItsPromptTheUpdaterHoldsTheKy) {
    kytest::PtyProcess first(KYFW_PATH, {"--simulate", "update"}, Env());
    ASSERT_TRUE(first.WaitFor("[y/N] ")) << first.Output();
    auto second = Kyfw({"--simulate", "update", "--yes"});
    EXPECT_EQ(second.status, 4);
    EXPECT_EQ(second.err, "kyfw: refusing to update: the Ky is being updated by kyfw (process " +
                              std::to_string(first.Pid()) + ")\n");
    // A program that opens the Ky meanwhile stops the update before it writes.
    const pid_t holder = fork();
    if (holder == 0) {
        [[maybe_unused]] int fd = open((dir / "sim" / "fw-simulated").c_str(), O_RDONLY);
        execl("/bin/sleep", "sleep", "20", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    first.Type(" Yes \n");
    EXPECT_EQ(first.Wait(), 4);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_NE(first.Output().find("the Ky is in use by sleep (process " + std::to_string(holder)),
              std::string::npos);
    EXPECT_EQ(Version(), "1-5");
    kytest::PtyProcess again(KYFW_PATH, {"--simulate", "update"}, Env());
    ASSERT_TRUE(again.WaitFor("[y/N] "));
    again.Type("Y\n");
    EXPECT_EQ(again.Wait(), 0) << again.Output();
    EXPECT_EQ(Version(), "2-6");
}

TEST_F(KyfwCli, OnATerminalYesAloneNeverDowngrades) {
    State("mcore=3\nxilinx=0\nproduct=3\nserial=KY010203\n");
    kytest::PtyProcess p(KYFW_PATH, {"--simulate", "update", "--yes"}, Env());
    ASSERT_TRUE(p.WaitFor("This is a downgrade. Replace firmware 3-0 with the older 2-6"));
    p.Type("\n");
    EXPECT_EQ(p.Wait(), 4);
    EXPECT_EQ(Version(), "3-0");
}

struct ArgCase {
    std::vector<std::string> args;  // after --simulate
    std::string env;
    int status;
    std::string err;  // what standard error begins with
};

TEST_F(KyfwCli, ArgumentsAndVariablesMeanExactlyOneThing) {
    const std::string two = "KYFW_SIM_COUNT=2", badDevice = "--device: expected a GUID";
    const std::string badCount = "kyfw: KYFW_SIM_COUNT must be a number of Kys from 0 to 63\n";
    const std::vector<ArgCase> cases = {
        {{"update", "--device", "0x0000D0A004120188"}, two, 0, ""},
        {{"update", "--device", "0000d0a004120188"}, two, 0, ""},
        {{"update", "--device", "sim1.0"}, two, 0, ""},
        {{"update", "--device", (dir / "sim" / "." / "fw-simulated").string()}, "", 0, ""},
        {{"update", "--device", "sim7.0"}, two, 3, ""},
        {{"update", "--device", "d0a004120187garbage"}, "", 64, badDevice},
        {{"update", "--device", "+d0a004120187"}, "", 64, badDevice},
        {{"update", "--device", "  d0a004120187"}, "", 64, badDevice},
        {{"update", "--device", ""}, "", 64, badDevice},
        {{"update", "--device",
          "\xff\xfe"
          "ab"},
         "",
         64,
         badDevice},
        {{"update", "--device", "fw1"}, "", 64, badDevice},
        {{"list"}, "KYFW_SIM_COUNT=0", 3, ""},
        {{"list"}, "KYFW_SIM_COUNT=63", 0, ""},
        {{"list"}, "KYFW_SIM_COUNT=-1", 64, badCount},
        {{"list"}, "KYFW_SIM_COUNT=abc", 64, badCount},
        {{"list"}, "KYFW_SIM_COUNT=2x", 64, badCount},
        {{"list"}, "KYFW_SIM_COUNT=99999", 64, badCount},
        {{"list", "--sim-fault=absent"}, "", 3, ""},
        {{"list", "--sim-fault=erase-failure"},
         "",
         64,
         "kyfw: --sim-fault erase-failure means nothing to kyfw list: it acts on an update\n"},
        {{"info", "--sim-fault=absent"}, "", 64, "kyfw: --sim-fault means nothing to kyfw info\n"},
        {{"update", "--sim-fault", "\xff"},
         "",
         64,
         "--sim-fault: unknown simulator fault \"\\xFF\" (see kyfw --help)"},
        {{"help", "update"}, "", 0, ""},
        {{"help", "bogus"}, "", 64, "kyfw: no subcommand \"bogus\" (list, info, update)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back() + " " + c.env);
        std::vector<std::string> args = {"--simulate", "--sim-reset"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (args[2] == "update") args.insert(args.end(), {"--yes", "--reinstall", "--json"});
        auto r = Kyfw(args, {c.env.empty() ? "KYFW_SIM_COUNT=1" : c.env});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
        if (c.status == 64) {
            EXPECT_EQ(r.out, "");  // no partial document
        }
    }
}

TEST_F(KyfwCli, BytesThatAreNotUtf8OrControlsNeverBreakTheOutput) {
    // A state path with a byte FF, and a serial number with FF FE and ESC [2J.
    const fs::path odd = dir / "st\xff";
    fs::create_directories(odd);
    std::ofstream(odd / "ky.state") << "mcore=2\nxilinx=5\nproduct=3\nserial=KY\xff\xfe\x1b[2J\n";
    const std::string env = "KYFW_SIM_STATE=" + odd.string();
    auto r = Kyfw({"--simulate", "update", "--yes", "--json"}, {env});
    EXPECT_EQ(r.status, 0) << r.err;
    const json doc = Doc(r);
    EXPECT_EQ(doc["device"]["serial_number"], "KY\xef\xbf\xbd\xef\xbf\xbd\x1b[2J");
    EXPECT_EQ(doc["outcome"], "done");
    r = Kyfw({"--simulate", "list"}, {env});
    EXPECT_NE(r.out.find("  serial number:    KY\\xFF\\xFE\\x1B[2J\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("st\\xFF/fw-simulated"), std::string::npos);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

TEST_F(KyfwCli, NoFileOfAnotherOwnerIsWrittenThrough) {
    const fs::path victim = dir / "victim";
    std::ofstream(victim) << "precious";
    fs::create_directories(dir / "sim");
    fs::create_symlink(victim, dir / "sim" / "ky.state");
    for (std::vector<std::string> command :
         {std::vector<std::string>{"list"}, {"update", "--yes"}}) {
        command.insert(command.begin(), "--simulate");
        auto r = Kyfw(command);
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find("ky.state: it is a symbolic link, which is not followed"),
                  std::string::npos)
            << r.err;
    }
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious");
    fs::remove(dir / "sim" / "ky.state");
    fs::permissions(dir / "sim", fs::perms::all);  // world-writable
    auto r = Kyfw({"--simulate", "list"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "kyfw: refusing to use " + (dir / "sim").string() +
                         ": others may write to it (make it private with chmod 700)\n");
}

TEST_F(KyfwCli, RecordingHoldsEveryTransactionOneObjectPerLine) {
    const fs::path file = dir / "update.jsonl";
    auto r =
        Kyfw({"--simulate", "--record", file.string(), "--record-anonymous", "update", "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in(file);
    std::string line;
    std::vector<json> events;
    while (std::getline(in, line)) events.push_back(json::parse(line));  // each line whole
    ASSERT_GT(events.size(), 3198u);
    EXPECT_EQ(events[0]["format"], "kyfw-recording");
    EXPECT_EQ(events[0]["image_data"], "fnv1a-64");
    EXPECT_EQ(events[1]["ev"], "discovery");
    EXPECT_EQ(events[1]["units"][0]["guid"], "0x0000000000000001");  // anonymous
    std::size_t blocks = 0;
    for (const auto& e : events) {
        if (e.value("kind", "") == "bread") {
            EXPECT_EQ(e["reply"], "3030303030303030");  // the serial number, replaced
        }
        blocks += e.value("kind", "") == "bwrite" && e.contains("fnv1a");
    }
    EXPECT_EQ(blocks, 2631u + 557u);  // the image data of both images, hashed
    EXPECT_LT(fs::file_size(file), 1u << 20);
}

TEST_F(KyfwCli, RecordingsReplayAsTheyWereMadeAndNonsenseIsNamed) {
    // The recording's name and the exit status it was made with.
    const std::vector<std::pair<std::string, int>> recordings = {{"list", 0},
                                                                 {"update", 0},
                                                                 {"fault-not-ready", 1},
                                                                 {"fault-erase-failure", 1},
                                                                 {"fault-erase-timeout", 1},
                                                                 {"fault-block-busy", 1},
                                                                 {"fault-crc-rejected", 1},
                                                                 {"fault-mcore-erase-failure", 1},
                                                                 {"fault-mcore-crc-rejected", 1},
                                                                 {"fault-vanish", 1},
                                                                 {"fault-bus-reset", 0},
                                                                 {"fault-in-use", 4},
                                                                 {"fault-absent", 3},
                                                                 {"umockdev-list", 0},
                                                                 {"umockdev-update", 0},
                                                                 {"umockdev-bus-reset", 0}};
    for (const auto& [name, status] : recordings) {
        SCOPED_TRACE(name);
        const fs::path file = dir / (name + ".jsonl");
        ASSERT_EQ(
            Shell("gzip -dc " KY_RECORDINGS "/" + name + ".jsonl.gz > " + file.string()).status, 0);
        auto r =
            name.ends_with("list")
                ? Kyfw({"--replay", file.string(), "list"})
                : Kyfw({"--replay", file.string(), "update", "--yes", "--reinstall", "--json"});
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_EQ(r.err.find("differs"), std::string::npos) << r.err;
    }
    const std::vector<std::pair<std::string, std::string>> nonsense = {
        {"{\"format\":\"kyfw-recording\",\"version\":1}\n{\"t\":1,\"ev\":\"discov",
         "line 2: not JSON (a recording cut off here?)"},
        {"{\"format\":\"kyfw-recording\",\"version\":2}\n",
         "line 1: recording format version 2, this kyfw reads version 1"},
        {"{\"format\":\"kyfw-recording\",\"version\":1}\n{\"t\":1,\"ev\":\"open\",\"unit\":\"x\"}"
         "\n",
         "line 2: \"status\" is missing or of the wrong type"},
        {"{\"format\":\"kyfw-recording\",\"version\":1}\n{\"t\":1,\"ev\":\"request\",\"status\":0,"
         "\"kind\":\"bread\",\"addr\":\"0x1\",\"len\":99999999,\"generation\":1}\n",
         "line 2: \"len\" is out of range"},
    };
    for (const auto& [text, reason] : nonsense) {
        std::ofstream(dir / "bad.jsonl") << text;
        auto r = Kyfw({"--replay", (dir / "bad.jsonl").string(), "list"});
        EXPECT_EQ(r.status, 64);
        EXPECT_EQ(r.err,
                  "kyfw: cannot replay " + (dir / "bad.jsonl").string() + ": " + reason + "\n");
    }
}

TEST_F(KyfwCli, HelpTextIsTheReadmeUsage) {
    std::ifstream in(KY_README);
    const std::string readme((std::istreambuf_iterator<char>(in)), {});
    const std::string begin = "<!-- kyfw --help -->\n```\n", end = "```\n<!-- end -->";
    const auto from = readme.find(begin), to = readme.find(end);
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    std::string help;
    for (const char* sub : {"", "list", "info", "update"}) {
        std::vector<std::string> args;
        if (*sub) args.push_back(sub);
        args.push_back("--help");
        auto r = Kyfw(args);
        EXPECT_EQ(r.status, 0);
        help += (*sub ? std::string("$ kyfw ") + sub + " --help\n" : "$ kyfw --help\n") + r.out;
    }
    EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()), help);
}

}  // namespace
