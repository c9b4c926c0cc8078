// kyfw as a user runs it, on the simulated Ky.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/Subprocess.h"

namespace {

class KyfwTest : public ::testing::Test {
protected:
    void SetUp() override {
        state = std::filesystem::temp_directory_path() /
                ("kyfw-cli-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(state);
    }
    void TearDown() override { std::filesystem::remove_all(state); }
    kytest::RunResult Kyfw(std::vector<std::string> args, std::vector<std::string> env = {}) {
        env.push_back("KYFW_SIM_STATE=" + state.string());
        return kytest::Run(KYFW_PATH, args, env);
    }
    void WriteState(const std::string& text) {
        std::filesystem::create_directories(state);
        FILE* f = std::fopen((state / "ky.state").c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    std::filesystem::path state;
};

TEST_F(KyfwTest, ListShowsTheSimulatedKyAsAnUpgrade) {
    auto r = Kyfw({"--simulate", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Ky 1: " + (state / "fw-simulated").string() +
                         " (unit sim0.0, GUID 0x0000d0a004120187)\n"
                         "  firmware version: 1-5 (MCORE-Xilinx)\n"
                         "  serial number:    Not Available\n"
                         "  product version:  3\n"
                         "  status:           ready\n"
                         "  built-in 2-6:     upgrade\n");
    EXPECT_EQ(r.err, "");  // trace lines stay out of sight without --verbose
}

TEST_F(KyfwTest, SimulateIsAcceptedAfterTheSubcommandAndStateIsKept) {
    WriteState("mcore=3\nxilinx=0\nproduct=3\nserial=KY010203\n");
    auto r = Kyfw({"list", "--simulate", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc["devices"].size(), 1u);
    EXPECT_EQ(doc["devices"][0]["firmware_version"], "3-0");
    EXPECT_EQ(doc["devices"][0]["serial_number"], "KY010203");
    EXPECT_EQ(doc["devices"][0]["built_in"], "downgrade");
    EXPECT_EQ(doc["built_in_version"], "2-6");
}

TEST_F(KyfwTest, UnsupportedProductIsListedButNotUsable) {
    WriteState("mcore=2\nxilinx=6\nproduct=4\nserial=KY010203\n");
    auto r = Kyfw({"--simulate", "list", "--json"});
    EXPECT_EQ(r.status, 3);
    auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["devices"][0]["usable"], false);
    EXPECT_EQ(doc["devices"][0]["status"], "product version not supported by this updater");
}

TEST_F(KyfwTest, ResetStartsAfreshAndVerboseShowsTraces) {
    WriteState("mcore=2\nxilinx=6\nproduct=3\nserial=KY010203\n");
    auto r = Kyfw({"--simulate", "--sim-reset", "--verbose", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("1-5"), std::string::npos);
    EXPECT_NE(r.err.find("Ctor DownloadUnit\nFWDL::Open\nFWDL::Close\nDtor DownloadUnit\n"),
              std::string::npos);
}

TEST_F(KyfwTest, InfoDescribesBothBuiltInImages) {
    auto r = Kyfw({"info"});
    EXPECT_EQ(r.status, 0);
    for (const char* line : {"  size:                336754 bytes\n",
                             "  configuration data:  offset 74, length 336680 bytes\n",
                             "  size:                71260 bytes\n", "  version:             6\n",
                             "  version:             2\n", "  start address:       0x00000400\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line;
    auto doc = nlohmann::json::parse(Kyfw({"info", "--json"}).out);
    EXPECT_EQ(doc["images"][0]["config_offset"], 74);
    EXPECT_EQ(doc["images"][0]["crc16"], "0xE2EF");
    EXPECT_EQ(doc["images"][1]["size"], 71260);
    EXPECT_EQ(doc["images"][1]["stretches"].size(), 2u);
}

TEST_F(KyfwTest, UsageErrorsExitWith64) {
    EXPECT_EQ(Kyfw({"frobnicate"}).status, 64);
    EXPECT_EQ(Kyfw({}).status, 64);
    EXPECT_EQ(Kyfw({"list", "--bogus"}).status, 64);
}

}  // namespace
