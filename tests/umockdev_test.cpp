// The unmodified kyfw against an emulated Ky under umockdev (see
// support/EmulatedKy.h): found through sysfs, driven through /dev/fw1.
#include <gtest/gtest.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>

#include "support/EmulatedKy.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class Umockdev : public ::testing::Test {
protected:
    void SetUp() override {
        state = fs::temp_directory_path() / ("kyfw-umockdev-" + std::to_string(getpid()));
    }
    void TearDown() override { fs::remove_all(state); }
    kytest::RunResult Kyfw(std::vector<std::string> args, std::vector<std::string> prefix = {}) {
        std::vector<std::string> env = {
            "LD_PRELOAD=libumockdev-preload.so.0", "UMOCKDEV_DIR=" + rootDir,
            "XDG_STATE_HOME=" + state.string(), "ASAN_OPTIONS=verify_asan_link_order=0"};
        if (prefix.empty()) return kytest::Run(KYFW_PATH, args, env);
        prefix.push_back(KYFW_PATH);
        prefix.insert(prefix.end(), args.begin(), args.end());
        const std::string program = prefix.front();
        return kytest::Run(program, {prefix.begin() + 1, prefix.end()}, env);
    }
    json Doc(const kytest::RunResult& r) {
        try {
            return json::parse(r.out);
        } catch (const std::exception&) {
            ADD_FAILURE() << "no JSON document: " << r.out << r.err;
            return {};
        }
    }

    kytest::EmulatedKyBed bed;
    kytest::EmulatedNode& node = bed.node;
    const std::string& rootDir = bed.rootDir;
    fs::path state;
};

TEST_F(Umockdev, ListFindsAndIdentifiesTheKyThroughSysfsAndIoctls) {
    auto r = Kyfw({"list", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    json doc = Doc(r);
    ASSERT_EQ(doc["devices"].size(), 1u);
    EXPECT_EQ(doc["devices"][0]["node"], "/dev/fw1");
    EXPECT_EQ(doc["devices"][0]["unit"], "fw1.0");
    EXPECT_EQ(doc["devices"][0]["guid"], "0x0000d0a004120187");
    EXPECT_EQ(doc["devices"][0]["firmware_version"], "1-5");
    EXPECT_EQ(doc["devices"][0]["built_in"], "upgrade");
}

TEST_F(Umockdev, WholeUpdateThroughTheCharacterDevice) {
    auto r = Kyfw({"update", "--yes", "--json"});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_EQ(Doc(r)["outcome"], "done");
    EXPECT_EQ(node.Model().Identity().xilinxVersion, 6);
    EXPECT_EQ(node.Model().Identity().mcoreVersion, 2);
    EXPECT_EQ(node.Model().ProgrammedCount(), 2u);
}

TEST_F(Umockdev, BusResetMidUpdateIsRiddenOut) {
    node.resetAtBlock = 300;
    auto r = Kyfw({"update", "--yes", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(node.Resets(), 1u);
    EXPECT_EQ(node.Model().ProgrammedCount(), 2u);
}

TEST_F(Umockdev, BlockAnsweredBusyOrUnsentFailsTheImage) {
    for (auto [rcode, text] : std::vector<std::pair<UInt32, std::string>>{
             {RCODE_BUSY, "busy"}, {RCODE_SEND_ERROR, "device not responding"}}) {
        SCOPED_TRACE(text);
        kytest::EmulatedNode* n = &node;
        n->failAtBlock = 100;
        n->failRcode = rcode;
        auto r = Kyfw({"update", "--yes", "--reinstall", "--json"});
        EXPECT_EQ(r.status, 1);
        json doc = Doc(r);
        EXPECT_EQ(doc["images"]["xilinx"]["step"], "sending the block at 12618");
        EXPECT_EQ(doc["images"]["xilinx"]["error_text"].get<std::string>().rfind(text, 0), 0u);
        EXPECT_EQ(doc["images"]["mcore"]["ok"], true);
        n->failAtBlock = 0;
        n->RestartCounting();
    }
}

TEST_F(Umockdev, NodeVanishingFailsWithoutHanging) {
    node.vanishAtBlock = 500;
    auto r = Kyfw({"update", "--yes", "--json"});
    EXPECT_EQ(r.status, 1);
    json doc = Doc(r);
    EXPECT_EQ(doc["images"]["xilinx"]["error_text"].get<std::string>().rfind("device not found", 0),
              0u);
    EXPECT_EQ(doc["images"]["mcore"]["ok"], false);
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
    EXPECT_NE(r.out.find("No Ky can be updated: a Ky is connected at /dev/fw1, but this user "
                         "may not open it: the udev rule 70-ky-firmware-update.rules is missing"),
              std::string::npos)
        << r.out << r.err;
}

}  // namespace
