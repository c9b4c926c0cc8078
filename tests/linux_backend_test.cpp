// The Linux backend against a stand-in for the kernel's firewire character
// device, and discovery over a made-up sysfs tree.
#include <gtest/gtest.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <sys/file.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>

#include "firewire/FWLib_Device.h"
#include "firewire/LinuxBus.h"
#include "support/FakeKernel.h"
#include "support/Files.h"
#include "update/UpdateBatch.h"
#include "update/UpdateWording.h"

namespace {

namespace fs = std::filesystem;

using kytest::FakeKernel;
using Ms = std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;

class LinuxBackend : public ::testing::Test {
protected:
    void SetUp() override {
        Node("fw0", "0x0011223344556677", "1", "");
        Node("fw1", "0x0000d0a004120187", "0", "KY");
        Unit("fw1.0", "0x000a27", "0x000011");
        Node("fw2", "0x0000d0a0ffff0001", "0", "");
        Unit("fw2.0", "0x00a02d", "0x010001");  // another kind of device
        Node("fw10", "0x0000d0a004120199", "0", "");
        Unit("fw10.0", "0x000a27", "0x000011");
        for (const char* n : {"fw1", "fw10"}) kytest::WriteFile(sysfs / "dev" / n, "");
        options = {sysfs / "devices", sysfs / "dev", kernel, 100};
    }
    void Node(const std::string& name, const std::string& guid, const std::string& local,
              const std::string& vendor) {
        const fs::path d = sysfs / "devices" / name;
        kytest::WriteFile(d / "guid", guid + "\n");
        kytest::WriteFile(d / "is_local", local + "\n");
        if (!vendor.empty()) kytest::WriteFile(d / "vendor_name", vendor + "\n");
    }
    void Unit(const std::string& name, const std::string& specifier, const std::string& version) {
        kytest::WriteFile(sysfs / "devices" / name / "specifier_id", specifier + "\n");
        kytest::WriteFile(sysfs / "devices" / name / "version", version + "\n");
    }
    std::unique_ptr<FWLib::Device> FirstKy() {
        FWLib::LinuxBus bus(options);
        FWLib::io_service_t service;
        FWLib::GetMatchingService(bus, {0xA27, 0x11}, service);
        return std::make_unique<FWLib::Device>(service);
    }

    kytest::TempDir sysfs{"sysfs"};
    std::shared_ptr<FakeKernel> kernel = std::make_shared<FakeKernel>();
    FWLib::LinuxBusOptions options;
};

TEST_F(LinuxBackend, DiscoveryFindsKyUnitsInNodeOrderAndSkipsTheRest) {
    FWLib::LinuxBus bus(options);
    std::vector<FWLib::io_service_t> found;
    ASSERT_EQ(bus.GetMatchingServices({0xA27, 0x11}, found), kIOReturnSuccess);
    ASSERT_EQ(found.size(), 2u);
    const auto& ky = found[0]->Info();
    EXPECT_EQ(std::tuple(ky.name, ky.deviceNode, ky.guid, ky.vendor),
              std::tuple("fw1.0", (sysfs / "dev" / "fw1").string(), 0x0000d0a004120187u, "KY"));
    EXPECT_EQ(found[1]->Info().name, "fw10.0");  // 10 after 1, not after 0
    options.sysfsDevices = sysfs / "absent";     // no FireWire at all: no Ky, no error
    EXPECT_EQ(FWLib::LinuxBus(options).GetMatchingServices({0xA27, 0x11}, found), kIOReturnSuccess);
    EXPECT_TRUE(found.empty());
}

TEST_F(LinuxBackend, RidesOutWhatARealBusDoesAndNoMore) {
    using K = FakeKernel;
    // What the kernel does, whether a read is sent (else a write), the outcome, the
    // requests sent in all.
    // clang-format off
    const std::vector<std::tuple<const char*, std::function<void(K&)>, bool, IOReturn, unsigned>> cases = {
        {"reset, generation shown after 30 ms", [](K& k) { k.ResetAtNextRequest(Ms(30), Ms(60)); }, false, kIOReturnSuccess, 2},
        {"reset, generation shown after 300 ms", [](K& k) { k.ResetAtNextRequest(Ms(300), Ms(350)); }, false, kIOReturnSuccess, 2},
        {"reset seen first by its event", [](K& k) { k.ResetAtNextRequest(Ms(400), Ms(20)); }, false, kIOReturnSuccess, 2},
        {"node away for 0.5 s", [](K& k) { k.LeaveAtNextRequest(Ms(500)); }, false, kIOReturnSuccess, 2},
        {"node gone for good", [](K& k) { k.LeaveAtNextRequest(Ms(5000)); }, false, kIOReturnNoDevice, 1},
        {"reset whose generation never shows", [](K& k) { k.ResetAtNextRequest(Ms(9000), Ms(9000)); }, false, kIOReturnNoDevice, 1},
        {"three busy answers", [](K& k) { k.node.busyAnswers = 3; }, false, kIOReturnSuccess, 4},
        {"busy to the end", [](K& k) { k.node.busyAnswers = 9; }, false, kIOReturnBusy, 4},
        {"cancelled read", [](K& k) { k.node.cancelledAnswers = 1; }, true, kIOReturnSuccess, 2},
        {"cancelled write", [](K& k) { k.node.cancelledAnswers = 1; }, false, kIOReturnTimeout, 1},
        {"no answer", [](K& k) { k.answer = K::Answer::Never; }, true, kIOReturnTimeout, 2},
        {"hung up", [](K& k) { k.answer = K::Answer::HangUp; }, true, kIOReturnNoDevice, 1},
        // Only the response with the request's closure counts.
        {"another's response first", [](K& k) { k.strayFirst = true; k.node.Model().Identity() = {2, 6, 3, ""}; }, true, kIOReturnSuccess, 1},
    };
    // clang-format on
    for (const auto& [name, script, read, expected, requests] : cases) {
        SCOPED_TRACE(name);
        kernel = std::make_shared<FakeKernel>();
        options.syscalls = kernel;
        auto device = FirstKy();
        script(*kernel);
        const auto start = Steady::now();
        UInt32 v = 0;
        const IOReturn status =
            read ? device->ReadQuadlet(FWAddressStruct(0xFFFF, 0xF0430004), v, false, false, 0)
                 : device->WriteQuadlet(FWAddressStruct(0xFFFF, 0xF0430000), 1, false, false, 0);
        EXPECT_EQ(std::pair(status, kernel->requests), std::pair(expected, requests));
        const auto& id = kernel->node.Model().Identity();
        if (read && status == kIOReturnSuccess) {
            EXPECT_EQ(v, UInt32(id.mcoreVersion) << 16 | id.xilinxVersion);
        } else if (expected == kIOReturnSuccess && requests == 2 && !read) {
            EXPECT_EQ(kernel->last.generation, 8u);  // resent in the new generation
        }
        EXPECT_LT(Steady::now() - start, Ms(3000));  // bounded
    }
    // Asked to fail on a reset, it does.
    kernel->ResetAtNextRequest(Ms(0), Ms(0));
    auto device = FirstKy();
    EXPECT_EQ(device->WriteQuadlet(FWAddressStruct(0xFFFF, 0xF0430000), 1, false, true, 7),
              kIOFireWireBusReset);
}

// A signal that interrupts any system call of a transaction (the deferred
// Ctrl+C, a terminal resize) fails nothing: the call is made again, within
// the response's deadline.
TEST_F(LinuxBackend, InterruptedCallsAreMadeAgainWithinTheDeadline) {
    kernel->interruptEachCall = true;
    options.responseTimeoutMs = 400;
    auto device = FirstKy();
    UInt32 gen = 0;
    ASSERT_EQ(device->Open(), kIOReturnSuccess);
    ASSERT_EQ(device->GetBusGeneration(gen), kIOReturnSuccess);
    // Update mode, the FPGA flash erased, then its header.
    for (const auto& [offset, value] : {std::pair(0xF0430000u, 1u), std::pair(0xF043000Cu, 0u)}) {
        std::this_thread::sleep_for(Ms(2));  // the Ky's pause after a command
        ASSERT_EQ(device->WriteQuadlet({0xFFFF, offset}, value, false, true, gen),
                  kIOReturnSuccess);
    }
    std::vector<UInt8> header = {0xFF, 0xFF, 0, 1, 0, 0, 0, 128};
    header.resize(20, 0xFF);
    UInt32 size = 20;
    EXPECT_EQ(device->Write({0xFFFF, 0xF0430020}, header.data(), size, false, true, gen),
              kIOReturnSuccess);
    device->Close();
    EXPECT_EQ(std::tuple(kernel->blocks, kernel->flocks, kernel->requests),
              std::tuple(std::vector<std::vector<UInt8>>{header},
                         std::vector<int>{LOCK_EX | LOCK_NB, LOCK_UN}, 3u));
    // Unanswered, it ends at its deadline, not a whole time-out after the interruption.
    kernel->answer = FakeKernel::Answer::Never;
    const auto start = Steady::now();
    EXPECT_EQ(device->WriteQuadlet({0xFFFF, 0xF0430000}, 2, false, true, gen), kIOReturnTimeout);
    EXPECT_LT(Steady::now() - start, Ms(options.responseTimeoutMs * 3 / 2));
}

TEST_F(LinuxBackend, AFreshlyPluggedKyIsOpenedOnceUdevHasRun) {
    kernel->accessFrom = Steady::now() + Ms(100);
    EXPECT_NO_THROW(FirstKy());
    kernel->accessFrom = Steady::now() + Ms(5000);  // no rule: refused after a short while
    const auto start = Steady::now();
    EXPECT_THROW(FirstKy(), FWLib::DeviceError);
    EXPECT_LT(Steady::now() - start, Ms(1000));
}

TEST_F(LinuxBackend, BusResetEventsOnTheWayMoveTheGenerationForwardOnly) {
    auto device = FirstKy();
    kernel->node.generation = 9;
    kernel->node.QueueBusReset(9);
    UInt32 v = 0;
    ASSERT_EQ(device->ReadQuadlet(FWAddressStruct(0xFFFF, 0xF0430004), v, false, false, 0),
              kIOReturnSuccess);
    const unsigned sent = kernel->requests;
    kernel->node.QueueBusReset(8);  // stale: queued before the one above was seen
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(device->ReadQuadlet(FWAddressStruct(0xFFFF, 0xF0430004), v, false, false, 0),
                  kIOReturnSuccess);
    // None sent in the older generation.
    EXPECT_EQ(std::pair(kernel->last.generation, kernel->requests), std::pair(9u, sent + 2));
}

TEST_F(LinuxBackend, OpensPairWithClosesAndTheLockLastsUntilTheLast) {
    auto device = FirstKy();
    ASSERT_EQ(device->Open(), kIOReturnSuccess);
    ASSERT_EQ(device->Open(), kIOReturnSuccess);
    device->Close();
    EXPECT_EQ(kernel->flocks, (std::vector<int>{LOCK_EX | LOCK_NB}));
    device->Close();
    device->Close();  // one too many changes nothing
    EXPECT_EQ(kernel->flocks, (std::vector<int>{LOCK_EX | LOCK_NB, LOCK_UN}));
}

TEST_F(LinuxBackend, RefusalsBeforeSending) {
    auto device = FirstKy();
    std::vector<UInt8> big(513);
    UInt32 size = 513;
    EXPECT_EQ(device->Write(FWAddressStruct(0xFFFF, 0xF0430020), big.data(), size, false, false, 0),
              kIOReturnBadArgument);
    FWAddressStruct other(0xFFFF, 0xF0430004);
    other.nodeID = 0xFFC5;  // the file reaches its own node only
    UInt32 v = 0;
    EXPECT_EQ(device->ReadQuadlet(other, v, true, false, 0), kIOReturnUnsupported);
}

// Two Kys written side by side, each through its own device file by its own
// worker: each holds the built-in images, no block of one reached the
// other's file, and the second began before the first ended.
TEST_F(LinuxBackend, TwoKysWrittenSideBySideEachThroughItsOwnFile) {
    ky::UpdateBatch::Listener quiet;
    kytest::KernelNode &fw1 = kernel->node,
                       &fw10 = kernel->others[(sysfs / "dev" / "fw10").string()];
    std::vector<FWLib::io_service_t> found;
    ASSERT_EQ(FWLib::LinuxBus(options).GetMatchingServices({0xA27, 0x11}, found), kIOReturnSuccess);
    const kytest::TempDir procfs("proc");
    ky::UpdateBatch::Setup setup;
    setup.bus = std::make_shared<FWLib::LinuxBus>(options);
    setup.processes = ky::ProcessTable(procfs.Path());
    ky::UpdateBatch batch(setup, quiet);
    batch.Plan({found.at(0)->Info(), found.at(1)->Info()}, {});
    batch.Consent(false);
    batch.Write(2);
    EXPECT_EQ(batch.Status(), ky::kExitDone);
    const auto images = BuiltInImages();  // the FPGA's flash holds the .bit file's data
    const std::tuple built(std::vector<UInt8>(images.xilinx.begin() + 74, images.xilinx.end()),
                           std::vector<UInt8>(images.mcore.begin(), images.mcore.end()));
    for (auto* node : {&fw1, &fw10}) {
        EXPECT_EQ(std::tuple(node->Model().Flash(kysim::FlashArea::Xilinx),
                             node->Model().Flash(kysim::FlashArea::MCORE),
                             kernel->blockThreads[node].size()),
                  std::tuple_cat(built, std::tuple(1u)));  // one worker each
    }
    EXPECT_EQ(kernel->blockThreads.size(), 2u);
    EXPECT_NE(kernel->blockThreads[&fw1], kernel->blockThreads[&fw10]);  // not the same
    // The second Ky's first block came before the first Ky's last.
    EXPECT_LT(kernel->blockSpans[&fw10].first, kernel->blockSpans[&fw1].second);
}

TEST_F(LinuxBackend, EachReasonForNoUsableKyThroughTheRealDiscovery) {
    const std::string dev = (sysfs / "dev").string();
    // Each reason's code, what makes it, and how its text begins.
    const std::vector<std::tuple<std::string, std::function<void()>, std::string>> cases = {
        {"no-access", [&] { kernel->openErrno = EACCES; },
         "a Ky is connected at " + dev +
             "/fw1, but this user may not open it: the udev rule "
             "70-ky-firmware-update.rules is missing, or the Ky was plugged in before it was "
             "installed (unplug it and plug it in again). Install the rule with sudo cmake "
             "--install "
             "build, or with the Debian package."},
        {"in-use", [&] { kernel->flockErrno = EWOULDBLOCK; },
         "the Ky is being updated by another program"},
        {"no-ky",
         [&] {
             fs::remove_all(sysfs / "devices" / "fw1.0");
             fs::remove_all(sysfs / "devices" / "fw10.0");
         },
         "3 FireWire devices are connected, but none of them is a Ky (no firmware-update "
         "unit):\n  fw1: GUID 0x0000d0a004120187, KY\n  fw2: GUID 0x0000d0a0ffff0001\n  fw10: "
         "GUID 0x0000d0a004120199"},
        {"no-controller", [&] { fs::remove_all(sysfs / "dev"); },
         "this machine shows no FireWire controller (no /dev/fw* files): is the firewire-ohci "
         "kernel module loaded?"},
    };
    for (const auto& [code, setUp, text] : cases) {
        SCOPED_TRACE(code);
        setUp();
        ZRV::PTA::CKyFirmwareUpdate controller(std::make_shared<FWLib::LinuxBus>(options));
        EXPECT_FALSE(controller.IsFound());
        const auto reason = controller.WhyNotFound();
        EXPECT_EQ(reason.code + ": " + reason.text.substr(0, text.size()), code + ": " + text);
        kernel->openErrno = kernel->flockErrno = 0;
    }
}

}  // namespace
