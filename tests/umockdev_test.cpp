// The unmodified kyfw against an emulated Ky under umockdev (see
// support/EmulatedKy.h): found through sysfs, driven through /dev/fw1.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
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
                                        "UMOCKDEV_DIR=" + rootDir,
                                        "XDG_STATE_HOME=" + state.String(),
                                        "ASAN_OPTIONS=verify_asan_link_order=0", view.Env()};
        if (prefix.empty()) return kytest::Run(KYFW_PATH, args, env, during);
        prefix.push_back(KYFW_PATH);
        prefix.insert(prefix.end(), args.begin(), args.end());
        const std::string program = prefix.front();
        return kytest::Run(program, {prefix.begin() + 1, prefix.end()}, env);
    }
    json Doc(const kytest::RunResult& r) { return kytest::Json(r); }

    kytest::EmulatedKyBed bed;
    kytest::EmulatedNode& node = bed.node;
    const std::string& rootDir = bed.rootDir;
    kytest::TempDir state{"umockdev"};
    kytest::ProcessView view;
};

struct BusCase {
    const char* name;
    std::function<void(kytest::EmulatedNode&)> script;
    const char* xilinxError;  // how its error text begins; "" when it is programmed
    const char* mcoreError;
};

TEST_F(Umockdev, WholeUpdatesAndWhatARealBusDoesRiddenOutOrReported) {
    using Ms = std::chrono::milliseconds;
    using Node = kytest::EmulatedNode;
    // clang-format off
    const std::vector<BusCase> cases = {
        {"a quiet bus", [](Node&) {}, "", ""},
        {"bus reset, new generation shown after 30 ms", [](Node& n) {
             n.resetAt = 300, n.resetInfoAfter = Ms(30), n.resetEventAfter = Ms(40); }, "", ""},
        {"a block not sent", [](Node& n) { n.failAt = 100; }, "device not responding", ""},
        {"the Ky gone for good", [](Node& n) { n.leaveAt = 500, n.backAfter = Ms(60000); },
         "device not found: the Ky left the bus", "device not found"},
    };
    // clang-format on
    unsigned programmed = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        node.NewScenario();
        c.script(node);
        auto r = Kyfw({"update", "--yes", "--reinstall", "--json"});
        const json doc = Doc(r);
        EXPECT_EQ(r.status, *c.xilinxError ? 1 : 0) << r.err;
        EXPECT_EQ(doc["outcome"], *c.xilinxError ? "failed" : "done");
        EXPECT_EQ(doc["device"]["node"].dump() + doc["device"]["unit"].dump() +
                      doc["device"]["guid"].dump(),
                  R"("/dev/fw1""fw1.0""0x0000d0a004120187")");  // found through sysfs
        for (auto [image, error] : {std::pair{"xilinx", c.xilinxError}, {"mcore", c.mcoreError}}) {
            EXPECT_EQ(doc["images"][image]["ok"], !*error) << image;
            if (*error) {
                EXPECT_EQ(doc["images"][image]["error_text"].get<std::string>().rfind(error, 0), 0u)
                    << doc["images"][image];
            }
            programmed += !*error;
        }
        EXPECT_EQ(node.Model().ProgrammedCount(), programmed);
        if (!*c.xilinxError) {
            EXPECT_EQ(node.Model().Identity().xilinxVersion, 6);
            EXPECT_EQ(node.Model().Identity().mcoreVersion, 2);
        }
    }
}

TEST_F(Umockdev, TheRestartIsFollowedToTheKyBackUnderAnotherNode) {
    auto r = Kyfw({"update", "--yes", "--wait", "--wait-timeout", "20", "--json"}, {}, [&](int) {
        for (int i = 0; i < 1500 && node.Model().ProgrammedCount() < 2; ++i)
            std::this_thread::sleep_for(Ms(20));  // 30 s at most: then kyfw's own outcome shows
        std::this_thread::sleep_for(Ms(500));
        bed.SwitchOff();
        std::this_thread::sleep_for(Ms(1000));
        bed.SwitchOnAsFw2();
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Doc(r)["restart"], json::parse(R"({"confirmed": true, "versions": "2-6",
        "left_the_bus": true, "reason": "confirmed", "message": "The Ky now runs firmware 2-6.",
        "waited_seconds": )" + Doc(r)["restart"]["waited_seconds"].dump() +
                                             "}"));
}

TEST_F(Umockdev, UnopenableNodeNamesTheRule) {
    // Without the udev rule the node stays root's; run kyfw as nobody.
    fs::permissions(rootDir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    chmod((rootDir + "/dev/fw1").c_str(), 0600);        // the pty behind the node
    chmod((rootDir + "/ioctl/dev/fw1").c_str(), 0777);  // umockdev's own socket stays reachable
    std::vector<std::string> asNobody;
    if (geteuid() == 0)
        asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    else
        chmod((rootDir + "/dev/fw1").c_str(), 0);
    auto r = Kyfw({"list"}, asNobody);
    EXPECT_EQ(r.status, 3);
    EXPECT_THAT(r.out,
                HasSubstr("No Ky can be updated: a Ky is connected at /dev/fw1, but this user "
                          "may not open it: the udev rule 70-ky-firmware-update.rules is missing"))
        << r.out << r.err;
}

}  // namespace
