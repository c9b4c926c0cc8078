// The unmodified kyfw against an emulated Ky under umockdev: a made-up sysfs
// tree and a /dev/fw1 whose ioctls and reads are answered here as the
// kernel's firewire character device answers them, backed by the same
// model of the Ky's update unit as the other tests.
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

#include "sim/KyUnitModel.h"
#include "support/Subprocess.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kSysfs = R"(P: /devices/pci0000:00/0000:00:1e.0/fw0
N: fw0
E: SUBSYSTEM=firewire
A: dev=244:0
A: guid=0x0011223344556677
A: is_local=1

P: /devices/pci0000:00/0000:00:1e.0/fw1
N: fw1
E: SUBSYSTEM=firewire
A: dev=244:1
A: guid=0x0000d0a004120187
A: is_local=0
A: units=0x000a27:0x000011
A: vendor_name=KY

P: /devices/pci0000:00/0000:00:1e.0/fw1/fw1.0
E: SUBSYSTEM=firewire
A: specifier_id=0x000a27
A: version=0x000011
A: modalias=ieee1394:ven00000000mo00000000sp00000A27ver00000011
)";

UInt32 Rcode(IOReturn status) {
    switch (status) {
        case kIOReturnSuccess:
            return RCODE_COMPLETE;
        case kIOFireWireConflictError:
            return RCODE_CONFLICT_ERROR;
        case kIOFireWireDataError:
            return RCODE_DATA_ERROR;
        case kIOFireWireTypeError:
            return RCODE_TYPE_ERROR;
        default:
            return RCODE_ADDRESS_ERROR;
    }
}

// The kernel's side of /dev/fw1 for one Ky.
class EmulatedNode {
public:
    UInt32 failAtBlock = 0;  // the n-th block write is answered with failRcode
    UInt32 failRcode = RCODE_BUSY;
    UInt32 resetAtBlock = 0;  // the bus resets just before the n-th block write
    UInt32 vanishAtBlock = 0;
    int devFd = -1;

    kysim::KyUnitModel& Model() { return mModel; }
    unsigned Resets() const { return mResets; }
    void RestartCounting() {
        std::lock_guard lock(mMutex);
        mBlocks = 0;
    }

    gboolean Ioctl(UMockdevIoctlClient* client) {
        std::lock_guard lock(mMutex);
        if (mGone) return umockdev_ioctl_client_complete(client, -1, ENODEV), TRUE;
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        switch (umockdev_ioctl_client_get_request(client)) {
            case FW_CDEV_IOC_GET_INFO:
                return GetInfo(client, arg);
            case FW_CDEV_IOC_SEND_REQUEST:
                return SendRequest(client, arg);
            default:
                return umockdev_ioctl_client_complete(client, -1, ENOTTY), TRUE;
        }
    }

    gboolean Read(UMockdevIoctlClient* client) {
        std::lock_guard lock(mMutex);
        if (mGone) return umockdev_ioctl_client_complete(client, -1, ENODEV), TRUE;
        if (mEvents.empty()) return umockdev_ioctl_client_complete(client, -1, EAGAIN), TRUE;
        UMockdevIoctlData* buf = umockdev_ioctl_client_get_arg(client);
        const auto event = mEvents.front();  // one event per read
        mEvents.pop_front();
        const size_t n = std::min(event.size(), static_cast<size_t>(buf->data_len));
        std::memcpy(buf->data, event.data(), n);
        umockdev_ioctl_client_complete(client, static_cast<glong>(n), 0);
        return TRUE;
    }

private:
    gboolean GetInfo(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        UMockdevIoctlData* s =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(fw_cdev_get_info), nullptr);
        auto* info = reinterpret_cast<fw_cdev_get_info*>(s->data);
        if (info->bus_reset) {
            UMockdevIoctlData* r = umockdev_ioctl_data_resolve(
                s, offsetof(fw_cdev_get_info, bus_reset), sizeof(fw_cdev_event_bus_reset), nullptr);
            auto* reset = reinterpret_cast<fw_cdev_event_bus_reset*>(r->data);
            reset->type = FW_CDEV_EVENT_BUS_RESET;
            reset->node_id = 0xFFC1;
            reset->local_node_id = 0xFFC0;
            reset->generation = mGeneration;
        }
        info->card = 0;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    gboolean SendRequest(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        UMockdevIoctlData* s =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(fw_cdev_send_request), nullptr);
        const fw_cdev_send_request request = *reinterpret_cast<fw_cdev_send_request*>(s->data);
        std::vector<UInt8> out;
        if (request.data && request.length) {
            UMockdevIoctlData* d = umockdev_ioctl_data_resolve(
                s, offsetof(fw_cdev_send_request, data), request.length, nullptr);
            out.assign(d->data, d->data + request.length);
        }
        if (request.tcode == TCODE_WRITE_BLOCK_REQUEST && ++mBlocks == vanishAtBlock) {
            mGone = true;  // the node leaves the bus; the file answers ENODEV from now on
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        std::vector<UInt8> payload;
        const UInt32 rcode = Transact(request, out, payload);
        Respond(request.closure, rcode, payload);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    UInt32 Transact(const fw_cdev_send_request& r, const std::vector<UInt8>& out,
                    std::vector<UInt8>& payload) {
        const bool block = r.tcode == TCODE_WRITE_BLOCK_REQUEST;
        if (block && mBlocks == resetAtBlock && !mResetDone) {
            mResetDone = true;
            ++mGeneration;
            ++mResets;
            QueueBusReset();
        }
        if (r.generation != mGeneration) return RCODE_GENERATION;
        if (block && mBlocks == failAtBlock) return failRcode;
        FWLib::Quadlet q{};
        switch (r.tcode) {
            case TCODE_WRITE_QUADLET_REQUEST:
                std::memcpy(q.data(), out.data(), 4);
                return Rcode(mModel.WriteQuadlet(r.offset, q));
            case TCODE_READ_QUADLET_REQUEST: {
                const IOReturn status = mModel.ReadQuadlet(r.offset, q);
                payload.assign(q.begin(), q.end());
                return Rcode(status);
            }
            case TCODE_WRITE_BLOCK_REQUEST:
                return Rcode(mModel.WriteBlock(r.offset, out.data(), r.length));
            case TCODE_READ_BLOCK_REQUEST: {
                payload.resize(r.length);
                UInt32 size = r.length;
                const IOReturn status = mModel.ReadBlock(r.offset, payload.data(), size);
                payload.resize(size);
                return Rcode(status);
            }
        }
        return RCODE_TYPE_ERROR;
    }

    void Respond(UInt64 closure, UInt32 rcode, const std::vector<UInt8>& payload) {
        const size_t header = offsetof(fw_cdev_event_response, data);
        std::vector<UInt8> e(header + (rcode == RCODE_COMPLETE ? payload.size() : 0));
        fw_cdev_event_response r{};
        r.closure = closure;
        r.type = FW_CDEV_EVENT_RESPONSE;
        r.rcode = rcode;
        r.length = static_cast<UInt32>(e.size() - header);
        std::memcpy(e.data(), &r, header);
        if (r.length) std::memcpy(e.data() + header, payload.data(), r.length);
        Queue(std::move(e));
    }

    void QueueBusReset() {
        std::vector<UInt8> e(offsetof(fw_cdev_event_bus_reset, generation) + 4);
        fw_cdev_event_bus_reset r{};
        r.type = FW_CDEV_EVENT_BUS_RESET;
        r.node_id = 0xFFC1;
        r.generation = mGeneration;
        std::memcpy(e.data(), &r, e.size());
        Queue(std::move(e));
    }

    // poll() is not emulated: a byte on the pty makes the file readable.
    void Queue(std::vector<UInt8> event) {
        mEvents.push_back(std::move(event));
        const char byte = 1;
        [[maybe_unused]] ssize_t n = write(devFd, &byte, 1);
    }

    std::mutex mMutex;
    ky::FakeClock mClock;
    kysim::KyUnitModel mModel{mClock};
    std::deque<std::vector<UInt8>> mEvents;
    UInt32 mGeneration = 1;
    UInt32 mBlocks = 0;
    bool mResetDone = false;
    bool mGone = false;
    unsigned mResets = 0;
};

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
    return static_cast<EmulatedNode*>(node)->Ioctl(client);
}

gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer node) {
    return static_cast<EmulatedNode*>(node)->Read(client);
}

class Umockdev : public ::testing::Test {
protected:
    void SetUp() override {
        testbed = umockdev_testbed_new();
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, kSysfs, nullptr));
        handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(OnIoctl), &node);
        g_signal_connect(handler, "handle-read", G_CALLBACK(OnRead), &node);
        ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed, "/dev/fw1", handler, nullptr));
        node.devFd = umockdev_testbed_get_dev_fd(testbed, "/dev/fw1");
        char* root = umockdev_testbed_get_root_dir(testbed);
        rootDir = root;
        g_free(root);
        state = fs::temp_directory_path() / ("kyfw-umockdev-" + std::to_string(getpid()));
    }
    void TearDown() override {
        g_object_unref(handler);
        g_object_unref(testbed);
        fs::remove_all(state);
    }
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

    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    EmulatedNode node;
    std::string rootDir;
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
        EmulatedNode* n = &node;
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
    EXPECT_NE(r.err.find("Cannot open /dev/fw1: permission denied. Install the udev rule "
                         "70-ky-firmware-update.rules"),
              std::string::npos)
        << r.err;
}

}  // namespace
