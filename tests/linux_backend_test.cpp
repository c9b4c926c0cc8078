// The Linux backend against a stand-in for the kernel's firewire character
// device, and discovery over a made-up sysfs tree.
#include <gtest/gtest.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/NoKyReason.h"
#include "firewire/FWLib_Device.h"
#include "firewire/LinuxBus.h"
#include "support/StreamCapture.h"

namespace {

namespace fs = std::filesystem;

// Answers like the kernel: one event per read, responses at the data
// member's offset, bus resets with their generation.
class FakeKernel final : public FWLib::Syscalls {
public:
    enum class Answer { Complete, Never, HangUp };
    Answer answer = Answer::Complete;
    UInt32 rcode = RCODE_COMPLETE;
    std::vector<UInt8> readPayload{0x00, 0x01, 0x00, 0x05};
    int openErrno = 0;
    int flockErrno = 0;
    UInt32 generation = 7;
    bool strayFirst = false;  // a response to another request comes first
    std::vector<int> flocks;
    fw_cdev_send_request last{};
    std::vector<UInt8> lastData;

    int Open(const char*, int) override { return openErrno ? (errno = openErrno, -1) : 42; }
    int Close(int) override { return 0; }
    int Flock(int, int op) override {
        flocks.push_back(op);
        return (flockErrno && (op & LOCK_EX)) ? (errno = flockErrno, -1) : 0;
    }
    int Ioctl(int, unsigned long request, void* arg) override {
        if (request == FW_CDEV_IOC_GET_INFO) {
            auto* info = static_cast<fw_cdev_get_info*>(arg);
            EXPECT_EQ(info->version, 5u);
            auto* reset = reinterpret_cast<fw_cdev_event_bus_reset*>(info->bus_reset);
            reset->generation = generation;
            reset->node_id = 0xFFC1;
            return 0;
        }
        last = *static_cast<fw_cdev_send_request*>(arg);
        const UInt8* data = reinterpret_cast<const UInt8*>(last.data);
        lastData.assign(data, data + (last.data ? last.length : 0));
        if (answer == Answer::Complete && strayFirst) Respond(last.closure + 1, {0xDE, 0xAD});
        if (answer == Answer::Complete) Respond(last.closure, readPayload);
        return 0;
    }
    int Poll(pollfd* fds, nfds_t, int) override {
        if (answer == Answer::HangUp) return fds[0].revents = POLLHUP, 1;
        if (events.empty()) return 0;  // the time-out ran out
        return fds[0].revents = POLLIN, 1;
    }
    ssize_t Read(int, void* buf, size_t size) override {
        const auto event = events.front();
        events.pop_front();
        std::memcpy(buf, event.data(), std::min(size, event.size()));
        return static_cast<ssize_t>(event.size());
    }
    void QueueBusReset(UInt32 newGeneration) {
        std::vector<UInt8> e(offsetof(fw_cdev_event_bus_reset, generation) + 4);
        fw_cdev_event_bus_reset r{};
        r.type = FW_CDEV_EVENT_BUS_RESET;
        r.generation = newGeneration;
        r.node_id = 0xFFC2;
        std::memcpy(e.data(), &r, e.size());
        events.push_back(e);
    }

private:
    void Respond(UInt64 closure, const std::vector<UInt8>& readPayload) {
        const bool read =
            last.tcode == TCODE_READ_QUADLET_REQUEST || last.tcode == TCODE_READ_BLOCK_REQUEST;
        const size_t header = offsetof(fw_cdev_event_response, data);
        std::vector<UInt8> e(header + (read ? readPayload.size() : 0));
        fw_cdev_event_response r{};
        r.closure = closure;
        r.type = FW_CDEV_EVENT_RESPONSE;
        r.rcode = rcode;
        r.length = read ? static_cast<UInt32>(readPayload.size()) : 0;
        std::memcpy(e.data(), &r, header);
        if (read) std::memcpy(e.data() + header, readPayload.data(), readPayload.size());
        events.push_back(e);
    }
    std::deque<std::vector<UInt8>> events;
};

class LinuxBackend : public ::testing::Test {
protected:
    void SetUp() override {
        sysfs = fs::temp_directory_path() / ("kyfw-sysfs-" + std::to_string(getpid()));
        fs::remove_all(sysfs);
        Node("fw0", "0x0011223344556677", "1", "");
        Node("fw1", "0x0000d0a004120187", "0", "KY");
        Unit("fw1.0", "0x000a27", "0x000011");
        Node("fw2", "0x0000d0a0ffff0001", "0", "");
        Unit("fw2.0", "0x00a02d", "0x010001");  // another kind of device
        Node("fw10", "0x0000d0a004120199", "0", "");
        Unit("fw10.0", "0x000a27", "0x000011");
        fs::create_directories(sysfs / "dev");
        for (const char* n : {"fw1", "fw10"}) std::ofstream(sysfs / "dev" / n) << "";
        options.sysfsDevices = sysfs / "devices";
        options.devDirectory = sysfs / "dev";
        options.syscalls = kernel;
        options.responseTimeoutMs = 100;
    }
    void TearDown() override { fs::remove_all(sysfs); }
    void Node(const std::string& name, const std::string& guid, const std::string& local,
              const std::string& vendor) {
        const fs::path d = sysfs / "devices" / name;
        fs::create_directories(d);
        std::ofstream(d / "guid") << guid << "\n";
        std::ofstream(d / "is_local") << local << "\n";
        if (!vendor.empty()) std::ofstream(d / "vendor_name") << vendor << "\n";
    }
    void Unit(const std::string& name, const std::string& specifier, const std::string& version) {
        const fs::path d = sysfs / "devices" / name;
        fs::create_directories(d);
        std::ofstream(d / "specifier_id") << specifier << "\n";
        std::ofstream(d / "version") << version << "\n";
    }
    std::unique_ptr<FWLib::Device> FirstKy() {
        FWLib::LinuxBus bus(options);
        FWLib::io_service_t service;
        FWLib::GetMatchingService(bus, {0xA27, 0x11}, service);
        return std::make_unique<FWLib::Device>(service);
    }

    fs::path sysfs;
    std::shared_ptr<FakeKernel> kernel = std::make_shared<FakeKernel>();
    FWLib::LinuxBusOptions options;
    kytest::StreamCapture io;
};

TEST_F(LinuxBackend, DiscoveryFindsKyUnitsInNodeOrderAndSkipsTheRest) {
    FWLib::LinuxBus bus(options);
    std::vector<FWLib::io_service_t> found;
    ASSERT_EQ(bus.GetMatchingServices({0xA27, 0x11}, found), kIOReturnSuccess);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0]->Info().name, "fw1.0");
    EXPECT_EQ(found[0]->Info().deviceNode, (sysfs / "dev" / "fw1").string());
    EXPECT_EQ(found[0]->Info().guid, 0x0000d0a004120187u);
    EXPECT_EQ(found[0]->Info().vendor, "KY");
    EXPECT_EQ(found[1]->Info().name, "fw10.0");  // 10 after 1, not after 0
    options.sysfsDevices = sysfs / "absent";     // no FireWire at all: no Ky, no error
    EXPECT_EQ(FWLib::LinuxBus(options).GetMatchingServices({0xA27, 0x11}, found), kIOReturnSuccess);
    EXPECT_TRUE(found.empty());
}

TEST_F(LinuxBackend, QuadletsTravelBigEndianWithTheCurrentGeneration) {
    auto device = FirstKy();
    UInt32 value = 0;
    ASSERT_EQ(device->ReadQuadlet(FWAddressStruct(0xFFFF, 0xF0430004), value, false, false, 0),
              kIOReturnSuccess);
    EXPECT_EQ(value, 0x00010005u);
    EXPECT_EQ(kernel->last.tcode, unsigned(TCODE_READ_QUADLET_REQUEST));
    EXPECT_EQ(kernel->last.offset, 0xFFFFF0430004u);
    EXPECT_EQ(kernel->last.generation, 7u);
    ASSERT_EQ(device->WriteQuadlet(FWAddressStruct(0xFFFF, 0xF0430000), 1, false, false, 0),
              kIOReturnSuccess);
    EXPECT_EQ(kernel->lastData, (std::vector<UInt8>{0, 0, 0, 1}));
    UInt32 generation = 0;
    EXPECT_EQ(device->GetBusGeneration(generation), kIOReturnSuccess);
    EXPECT_EQ(generation, 7u);
}

TEST_F(LinuxBackend, ResponseCodesBecomeStatuses) {
    const std::vector<std::pair<UInt32, IOReturn>> table = {
        {RCODE_CONFLICT_ERROR, kIOFireWireConflictError},
        {RCODE_DATA_ERROR, kIOFireWireDataError},
        {RCODE_TYPE_ERROR, kIOFireWireTypeError},
        {RCODE_ADDRESS_ERROR, kIOFireWireAddressError},
        {RCODE_SEND_ERROR, kIOReturnNotResponding},
        {RCODE_CANCELLED, kIOReturnTimeout},
        {RCODE_BUSY, kIOReturnBusy},
        {RCODE_NO_ACK, kIOReturnNotResponding}};
    auto device = FirstKy();
    for (auto [rcode, status] : table) {
        kernel->rcode = rcode;
        EXPECT_EQ(device->WriteQuadlet(FWAddressStruct(0xFFFF, 0xF0430000), 1, false, true, 7),
                  status)
            << rcode;
    }
}

TEST_F(LinuxBackend, StaleGenerationIsResentOnceUnlessAskedToFail) {
    auto device = FirstKy();
    kernel->rcode = RCODE_GENERATION;
    EXPECT_EQ(device->WriteQuadlet(FWAddressStruct(0xFFFF, 0xF0430000), 1, false, true, 7),
              kIOFireWireBusReset);
    kernel->generation = 8;  // the reset the kernel saw
    EXPECT_EQ(device->WriteQuadlet(FWAddressStruct(0xFFFF, 0xF0430000), 1, false, false, 7),
              kIOFireWireBusReset);  // still stale after the one resend: reported, not looped
    EXPECT_EQ(kernel->last.generation, 8u);  // the resend carried the fresh generation
    kernel->rcode = RCODE_COMPLETE;
    EXPECT_EQ(device->WriteQuadlet(FWAddressStruct(0xFFFF, 0xF0430000), 1, false, false, 7),
              kIOReturnSuccess);
}

TEST_F(LinuxBackend, BusResetEventsOnTheWayUpdateTheGeneration) {
    auto device = FirstKy();
    kernel->QueueBusReset(9);
    UInt32 v = 0;
    ASSERT_EQ(device->ReadQuadlet(FWAddressStruct(0xFFFF, 0xF0430004), v, false, false, 0),
              kIOReturnSuccess);
    ASSERT_EQ(device->ReadQuadlet(FWAddressStruct(0xFFFF, 0xF0430004), v, false, false, 0),
              kIOReturnSuccess);
    EXPECT_EQ(kernel->last.generation, 9u);
}

TEST_F(LinuxBackend, OnlyTheResponseWithTheRequestsClosureCounts) {
    auto device = FirstKy();
    kernel->strayFirst = true;
    kernel->readPayload = {0x00, 0x02, 0x00, 0x06};
    UInt32 v = 0;
    ASSERT_EQ(device->ReadQuadlet(FWAddressStruct(0xFFFF, 0xF0430004), v, false, false, 0),
              kIOReturnSuccess);
    EXPECT_EQ(v, 0x00020006u);
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

TEST_F(LinuxBackend, NoAnswerIsATimeOutAndAHangUpIsAGoneDevice) {
    auto device = FirstKy();
    kernel->answer = FakeKernel::Answer::Never;
    UInt32 v = 0;
    EXPECT_EQ(device->ReadQuadlet(FWAddressStruct(0xFFFF, 0xF0430004), v, false, false, 0),
              kIOReturnTimeout);
    kernel->answer = FakeKernel::Answer::HangUp;
    EXPECT_EQ(device->ReadQuadlet(FWAddressStruct(0xFFFF, 0xF0430004), v, false, false, 0),
              kIOReturnNoDevice);
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

struct ReasonCase {
    const char* code;
    std::function<void()> setUp;
    std::string text;  // how it begins
};

TEST_F(LinuxBackend, EachReasonForNoUsableKyThroughTheRealDiscovery) {
    const std::string dev = (sysfs / "dev").string();
    const std::vector<ReasonCase> cases = {
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        c.setUp();
        ZRV::PTA::CKyFirmwareUpdate controller(std::make_shared<FWLib::LinuxBus>(options));
        EXPECT_FALSE(controller.IsFound());
        const auto reason = controller.WhyNotFound();
        EXPECT_EQ(reason.code, c.code);
        EXPECT_EQ(reason.text.rfind(c.text, 0), 0u) << reason.text;
        kernel->openErrno = kernel->flockErrno = 0;
    }
}

}  // namespace
