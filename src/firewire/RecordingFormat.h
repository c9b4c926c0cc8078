#pragma once

// The recording format, written by the recorder and read by the replay:
// JSON Lines, the first line naming the format, each later line one event.
// Text from the bus (names, device files) is kept byte for byte: a JSON
// string when it is UTF-8, else its bytes in hexadecimal. Since version 2
// a run that waits for the Ky's restart says so ("restart", with its wait
// limit), and the wait's own clock readings ("clock") and the user's stop
// ("stop") are events too: a replay follows the same restart on the
// recorded times. A version 1 recording holds no restart. Since version 3
// every event of a unit names it ("unit"): bus generations and requests
// too, which before went to the unit last given an interface or opened.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"

#include <functional>
#include <memory>

#include "base/Clock.h"
#include "firewire/FWPlatform.h"

namespace ky {

// How long each half of the wait for a Ky's restart lasts unless the user
// says otherwise: for it to leave the bus, and again to come back.
inline constexpr unsigned kRestartWaitSeconds = 300;

// The wait for a restart as a recording keeps it and a replay gives it
// back: how long each half of it may last, the clock it reads and whether
// its user stopped it.
struct RestartWait {
    unsigned waitSeconds = kRestartWaitSeconds;
    std::shared_ptr<Clock> clock;
    std::function<bool()> stop;
};

}  // namespace ky

namespace FWLib {

inline constexpr int kRecordingFormatVersion = 3;  // read back to version 1
inline constexpr int kRecordingFirewireAbi = 5;

// One recorded event, as the replay needs it.
struct RecordedEvent {
    std::string ev;            // "discovery", "survey", "plugin", "interface", "open", "close",
                               // "generation", "request"; "restart", "clock", "stop"
    std::uint64_t micros = 0;  // since the event before
    std::string unit;          // the unit's name: every event of a unit; empty for the others
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
    unsigned waitSeconds = 0;     // restart: the wait limit of each half
    std::uint64_t clock = 0;      // clock: microseconds since the wait began
    std::size_t line = 0;         // in the file
};

// A recording's events and the version of its format.
struct ParsedRecording {
    std::vector<RecordedEvent> events;
    int version = 0;
};
// Reads a recording; a failure with the reason ("line 7: ...") when it is
// not one, or could not have been made (a wait's clock that runs backwards
// or past the wait).
ky::Result<ParsedRecording> ParseRecording(std::string_view text);

// A text field as a recording holds it: a JSON string when the text is
// UTF-8, else {"bytes": "<hex>"}, so that every byte comes back as it was.
std::string TextJson(const std::string& text);
// How a recording writes data: lower-case hexadecimal, and image data as
// its FNV-1a hash ("0x" and 16 digits).
std::string HexText(const UInt8* bytes, std::size_t size);
std::string ImageHash(const UInt8* bytes, std::size_t size);
// Blocks longer than this are image data.
inline constexpr UInt32 kLiteralBlockBytes = 20;

// Text of a call as a recording would show it (for the side-by-side view).
std::string DescribeCall(const RecordedEvent& event);

}  // namespace FWLib
