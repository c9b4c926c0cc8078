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
#include "firewire/RecordingFormat.h"

namespace FWLib {

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

}  // namespace FWLib
