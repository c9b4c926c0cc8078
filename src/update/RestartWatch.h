#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "base/Trace.h"
#include "base/Translate.h"
#include "firewire/FWPlatform.h"
#include "firewire/RecordingFormat.h"

namespace ky {

// What the user is asked to do once both images were written; kyfw and the
// window ask it in these words (English: pass it through ky::Tr where it is
// shown).
inline constexpr const char* kRestartRequest =
    N_("Switch the Ky off, wait a second and switch it on again.");

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
    std::uint64_t waitMicros = kRestartWaitSeconds * 1'000'000ull;  // to leave, again to come back
    std::uint64_t pollMicros = 250'000;
};

// Follows the Kys with `guids` through a power cycle: each node leaves the
// bus, a Ky with the same GUID comes back (on Linux under any /dev/fwN) and
// its versions are read and compared with `expected`. The bus is looked at
// every poll, on `clock`, until the limits run out or `stop` says so; each
// Ky's ending is its own. Reading a Ky that is back is traced on `trace`;
// `looked`, when given, hears each Ky's result so far after every look.
using RestartLooked = std::function<void(std::size_t ky, const RestartResult& sofar)>;
std::vector<RestartResult> FollowRestarts(FWLib::Bus& bus, const std::vector<UInt64>& guids,
                                          const std::string& expected, const RestartLimits& limits,
                                          Clock& clock, const std::function<bool()>& stop,
                                          Trace trace = {}, const RestartLooked& looked = {});

// The update fails for a Ky that came back with other firmware, did not
// come back, or had left when the waiting was stopped.
bool RestartFailed(const RestartResult& result);
// "The Ky now runs firmware 2-6." and the like: what the ending means and
// what to do.
std::string RestartText(const RestartResult& result, const std::string& expected,
                        const RestartLimits& limits);

// FollowRestarts for one Ky on a thread of its own, for a program that must
// go on meanwhile: the window redraws and answers while the Ky is switched
// off and on. `clock` must outlive the follower.
class RestartFollower {
public:
    RestartFollower(std::shared_ptr<FWLib::Bus> bus, UInt64 guid, std::string expected,
                    const RestartLimits& limits, Clock& clock, Trace trace = {});
    ~RestartFollower();  // stops the follow, as Stop does
    RestartFollower(const RestartFollower&) = delete;
    RestartFollower& operator=(const RestartFollower&) = delete;

    // How the restart ended, once it has.
    std::optional<RestartResult> Ended() const;
    // Stops the follow and gives its ending (Stopped, unless it had ended),
    // waiting half a second at most for the look under way; a look that
    // takes longer leaves the Ky as the last finished look found it.
    RestartResult Stop();

    struct Shared;  // with the follower's thread

private:
    std::shared_ptr<Shared> mShared;
    std::thread mThread;
};

}  // namespace ky
