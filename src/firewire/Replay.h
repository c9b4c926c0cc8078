#pragma once

// A bus that answers from a recording (see Recording.h): the same calls in
// the same order get the recorded answers. The first call that differs
// from the recording stops the replay: it and every call after it fail,
// and Mismatch() shows the expected and the actual call side by side.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "firewire/FWPlatform.h"
#include "firewire/RecordingFormat.h"

namespace FWLib {

class ReplayBus;

// A bus that replays `events`, read from a recording of format `version`;
// with `timing`, each answer waits as long as the recording did.
std::shared_ptr<ReplayBus> MakeReplayBus(std::vector<RecordedEvent> events, bool timing,
                                         int version = kRecordingFormatVersion);

class ReplayBus : public Bus {
public:
    // Once the program is done: done when it made the recorded calls and no
    // others, else a failure with the first difference, recorded and made
    // side by side.
    virtual ky::Done Finish() = 0;
    // Whether a call made so far differed from the recording, or came after
    // its end: nothing more is answered.
    virtual bool Differs() const = 0;
    // The wait limit, in seconds, of the restart that the recorded run
    // waited for after the calls replayed so far; nothing when it did not.
    virtual std::optional<unsigned> RecordedWait() = 0;
    // That wait, from its beginning: its limit, a clock that reads the
    // recorded times and never sleeps (--replay-timing's pauses are the
    // replay's own), and a stop that says yes where the recorded user
    // stopped the waiting, or once the replay differs.
    virtual ky::RestartWait ReplayRestart() = 0;
};

}  // namespace FWLib
