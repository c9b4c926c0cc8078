#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Trace.h"
#include "firewire/FWPlatform.h"

namespace ky {

// How the restart after an update ended.
enum class RestartEnding {
    Confirmed,    // the Ky left the bus, came back and runs the expected firmware
    OldFirmware,  // it came back with other versions: the new firmware did not start
    NeverBack,    // it left and did not come back in time
    NeverLeft,    // it was not switched off in time: not restarted, whatever it reads
    Stopped,      // the user stopped the waiting
};

struct RestartResult {
    RestartEnding ending = RestartEnding::NeverLeft;
    bool left = false;               // the Ky's node left the bus
    std::string versions;            // "2-6", read once it came back
    std::uint64_t waitedMicros = 0;  // from the start of the wait
    std::uint64_t awayMicros = 0;    // from its leaving to the end of the wait
};

struct RestartLimits {
    std::uint64_t waitMicros = 300'000'000;  // for it to leave, and again to come back
    std::uint64_t pollMicros = 250'000;
};

// Follows the Kys with `guids` through a power cycle: each node leaves the
// bus, a Ky with the same GUID comes back (on Linux under any /dev/fwN) and
// its versions are read and compared with `expected`. The bus is looked at
// every poll, on `clock`, until the limits run out or `stop` says so; each
// Ky's ending is its own. Reading a Ky that is back is traced on `trace`.
std::vector<RestartResult> FollowRestarts(FWLib::Bus& bus, const std::vector<UInt64>& guids,
                                          const std::string& expected, const RestartLimits& limits,
                                          Clock& clock, const std::function<bool()>& stop,
                                          Trace trace = {});

// "The Ky now runs firmware 2-6." and the like: what the ending means and
// what to do; `exitFailure` tells whether the update command should fail.
std::string RestartText(const RestartResult& result, const std::string& expected,
                        const RestartLimits& limits, bool& exitFailure);

}  // namespace ky
