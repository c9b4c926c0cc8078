// FWLib::Device's byte order and addressing are pinned where they meet a
// bus: the replayed update (its block data recorded literally), the
// download tests, and the Linux backend's requests to the kernel.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <tuple>

#include "firewire/IOReturn.h"
#include "firewire/Replay.h"
#include "support/Why.h"

namespace {

// A code with no name shows its number.
TEST(IOReturnNames, UnknownCodesShowTheirNumber) {
    EXPECT_EQ(IOReturnName(0x1234), "0x00001234");
}

// Two Kys, A and B, each given an interface and read once, A first.
const char* const kTwoKys = R"({"format":"kyfw-recording","version":3}
{"t":1,"ev":"discovery","status":0,"units":[{"name":"A","node":"/dev/fw1","guid":"0x1","unit_spec_id":2599,"unit_sw_version":17,"vendor":"","model":""},{"name":"B","node":"/dev/fw2","guid":"0x2","unit_spec_id":2599,"unit_sw_version":17,"vendor":"","model":""}]}
{"t":1,"ev":"plugin","unit":"A","status":0}
{"t":1,"ev":"interface","unit":"A","status":0}
{"t":1,"ev":"plugin","unit":"B","status":0}
{"t":1,"ev":"interface","unit":"B","status":0}
{"t":1,"ev":"request","unit":"A","kind":"qread","addr":"0x10","len":4,"status":0,"generation":1,"reply":"61000000"}
{"t":1,"ev":"request","unit":"B","kind":"qread","addr":"0x10","len":4,"status":0,"generation":1,"reply":"62000000"}
)";

// Each unit's calls are matched in that unit's own order, whatever the
// order between units; a call to the other unit is a difference.
TEST(Replay, EachUnitsCallsInItsOwnOrderAndNoOtherUnits) {
    // The program: an upper-case letter gives that Ky an interface, a
    // lower-case one reads it; what it read, and how the replay ended.
    const std::vector<std::tuple<std::string, std::string, std::string>> runs = {
        {"ABab", "ab", ""},
        {"BAba", "ba", ""},
        {"ABbb", "b",
         "the replay differs from the recording at line 7:\n  recorded: qread 0x000000000010 len 4 "
         "on A\n  made:     qread 0x000000000010 len 4 on B"},
    };
    for (const auto& [program, read, ending] : runs) {
        SCOPED_TRACE(program);
        std::string got;
        const auto recording = FWLib::ParseRecording(kTwoKys);
        ASSERT_EQ(kytest::Why(recording), "");
        const auto replay = FWLib::MakeReplayBus(recording->events, false);
        std::vector<FWLib::io_service_t> kys;
        ASSERT_EQ(replay->GetMatchingServices({0xA27, 0x11}, kys), kIOReturnSuccess);
        std::map<char, std::unique_ptr<FWLib::DeviceInterface>> devices;
        for (const char c : program) {
            std::unique_ptr<FWLib::PlugInInterface> plugIn;
            FWLib::Quadlet value{};
            if (std::isupper(c) && kys[c - 'A']->CreatePlugInInterface(plugIn) == 0)
                plugIn->QueryInterface(devices[c]);
            else if (const auto& ky = devices[std::toupper(c)];
                     ky && ky->ReadQuadlet(1, {0, 0x10}, value, false, 0) == 0)
                got += static_cast<char>(value[0]);
        }
        EXPECT_EQ(std::pair(got, kytest::Why(replay->Finish())), std::pair(read, ending));
    }
}

}  // namespace
