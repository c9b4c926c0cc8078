// The unmodified kyfw against an emulated Ky under umockdev (see
// support/EmulatedKy.h): found through sysfs, driven through /dev/fw1.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/EmulatedKy.h"
#include "support/Files.h"
#include "support/Subprocess.h"

namespace {

using ::testing::HasSubstr;
using Ms = std::chrono::milliseconds;

namespace fs = std::filesystem;
using nlohmann::json;

class Umockdev : public ::testing::Test {
protected:
    kytest::RunResult Kyfw(std::vector<std::string> args, std::vector<std::string> prefix = {},
                           std::function<void(int)> during = {}) {
        std::vector<std::string> env = {"LD_PRELOAD=libumockdev-preload.so.0",
                                        "UMOCKDEV_DIR=" + bed.rootDir,
                                        "XDG_STATE_HOME=" + state.String(),
                                        "ASAN_OPTIONS=verify_asan_link_order=0", view.Env()};
        prefix.push_back(KYFW_PATH);  // run by what `prefix` names, if anything
        prefix.insert(prefix.end(), args.begin(), args.end());
        return kytest::Run(prefix[0], {prefix.begin() + 1, prefix.end()}, env, during);
    }

    kytest::EmulatedKyBed bed;
    kytest::TempDir state{"umockdev"};
    kytest::ProcessView view;
};

TEST_F(Umockdev, WholeUpdatesAndWhatARealBusDoesRiddenOutOrReported) {
    using Node = kytest::EmulatedNode;
    // Each bus, and how each image's error text begins ("" when it is programmed).
    // clang-format off
    const std::vector<std::tuple<const char*, std::function<void(Node&)>, std::string, std::string>> cases = {
        {"a quiet bus", [](Node&) {}, "", ""},
        {"bus reset, new generation shown after 30 ms", [](Node& n) {
             n.resetAt = 300, n.resetInfoAfter = Ms(30), n.resetEventAfter = Ms(40); }, "", ""},
        // A Ky whose version register says what runs still reads 2-6.
        {"a block not sent", [](Node& n) { n.failAt = 100, n.Model().Behaviour().versionsOfRunningFirmware = true; },
         "device not responding", ""},
        {"the Ky gone for good", [](Node& n) { n.leaveAt = 500, n.backAfter = Ms(60000); },
         "device not found: the Ky left the bus", "device not found"},
    };
    // clang-format on
    unsigned programmed = 0;
    for (const auto& [name, script, xilinxError, mcoreError] : cases) {
        SCOPED_TRACE(name);
        bed.node.NewScenario();
        script(bed.node);
        auto r = Kyfw({"update", "--yes", "--reinstall", "--json"});
        // What kyfw found through sysfs, and its errors.
        json doc = kytest::Json(r), found = json::object();
        for (const char* key : {"node", "unit", "guid"}) found[key] = doc["device"][key];
        for (auto [image, error] : {std::pair{"xilinx", xilinxError}, {"mcore", mcoreError}}) {
            const json& shown = doc["images"][image];
            found[image] = {shown["ok"],
                            error.empty()
                                ? ""
                                : shown["error_text"].get<std::string>().substr(0, error.size())};
            programmed += error.empty();
        }
        const bool done = xilinxError.empty();
        EXPECT_EQ(std::tuple(r.status, doc["outcome"], found, bed.node.Model().ProgrammedCount()),
                  std::tuple(done ? 0 : 1, done ? "done" : "failed",
                             json{{"node", "/dev/fw1"},
                                  {"unit", "fw1.0"},
                                  {"guid", "0x0000d0a004120187"},
                                  {"xilinx", {done, xilinxError}},
                                  {"mcore", {mcoreError.empty(), mcoreError}}},
                             programmed))
            << r.err;
        if (name == std::string("a block not sent")) {
            EXPECT_EQ(doc["advice"], "kyfw update --reinstall");
        }
        if (done) {
            EXPECT_EQ(std::tuple(bed.node.Model().Identity().xilinxVersion,
                                 bed.node.Model().Identity().mcoreVersion),
                      std::tuple(6, 2));
        }
    }
}

TEST_F(Umockdev, TheRestartIsFollowedToTheKyBackUnderAnotherNode) {
    auto r = Kyfw({"update", "--yes", "--wait", "--wait-timeout", "20", "--json"}, {}, [&](int) {
        for (int i = 0; i < 1500 && bed.node.Model().ProgrammedCount() < 2; ++i)
            std::this_thread::sleep_for(Ms(20));  // 30 s at most: then kyfw's own outcome shows
        std::this_thread::sleep_for(Ms(500));
        bed.SwitchOff();
        std::this_thread::sleep_for(Ms(1000));
        bed.SwitchOnAsFw2();
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kytest::Json(r)["restart"], json::parse(R"({"confirmed": true, "versions": "2-6",
        "left_the_bus": true, "reason": "confirmed", "message": "The Ky now runs firmware 2-6.",
        "waited_seconds": )" + kytest::Json(r)["restart"]["waited_seconds"].dump() +
                                                      "}"));
}

TEST_F(Umockdev, UnopenableNodeNamesTheRule) {
    // Without the udev rule the node stays root's; run kyfw as nobody.
    fs::permissions(bed.rootDir, fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    chmod((bed.rootDir + "/dev/fw1").c_str(), 0600);        // the pty behind the node
    chmod((bed.rootDir + "/ioctl/dev/fw1").c_str(), 0777);  // umockdev's own socket stays reachable
    std::vector<std::string> asNobody;
    if (geteuid() == 0)
        asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    else
        chmod((bed.rootDir + "/dev/fw1").c_str(), 0);
    auto r = Kyfw({"list"}, asNobody);
    EXPECT_EQ(r.status, 3);
    EXPECT_THAT(r.out,
                HasSubstr("No Ky can be updated: a Ky is connected at /dev/fw1, but this user "
                          "may not open it: the udev rule 70-ky-firmware-update.rules is missing"))
        << r.out << r.err;
}

}  // namespace
