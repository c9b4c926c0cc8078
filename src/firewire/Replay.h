#pragma once

// A bus that answers from a recording (see Recording.h): the same calls in
// the same order get the recorded answers. The first call that differs
// from the recording stops the replay: it and every call after it fail,
// and Mismatch() shows the expected and the actual call side by side.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "firewire/FWPlatform.h"

namespace FWLib {

// One recorded event, as the replay needs it.
struct RecordedEvent {
    std::string ev;            // "discovery", "survey", "plugin", "interface", "open", "close",
                               // "generation", "request"
    std::uint64_t micros = 0;  // since the event before
    std::string unit;
    IOReturn status = 0;
    UInt32 generation = 0;
    std::string kind;  // requests: "qread", "qwrite", "bread", "bwrite"
    UInt64 addr = 0;
    UInt32 length = 0;
    std::string data;   // hex, or empty when `fnv1a` stands for it
    std::string fnv1a;  // "0x...": image data
    std::vector<UInt8> reply;
    std::vector<UnitInfo> units;  // discovery, survey
    bool controller = false;      // survey
    std::size_t line = 0;         // in the file
};

// Reads a recording; false with the reason ("line 7: ...") when it is not one.
bool ParseRecording(std::string_view text, std::vector<RecordedEvent>& events, std::string& error);

class ReplayBus;

// A bus that replays `events`; with `timing`, each answer waits as long as
// the recording did.
std::shared_ptr<ReplayBus> MakeReplayBus(std::vector<RecordedEvent> events, bool timing);

class ReplayBus : public Bus {
public:
    // Once the program is done: empty when it made the recorded calls and no
    // others, else the first difference, recorded and made side by side.
    virtual std::string Finish() = 0;
};

// Text of a call as a recording would show it (for the side-by-side view).
std::string DescribeCall(const RecordedEvent& event);

}  // namespace FWLib
