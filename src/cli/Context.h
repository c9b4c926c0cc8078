#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

#include "base/FdStream.h"
#include "base/Trace.h"
#include "cli/DeviceSelector.h"
#include "cli/ExitStatus.h"
#include "firewire/RecordingFormat.h"
#include "support/ProcessTable.h"
#include "update/StartUp.h"

namespace kyfw {

struct GlobalOptions {
    bool simulate = false;
    bool simReset = false;
    bool verbose = false;
    bool json = false;
    bool names = false;    // list: what --device takes, one a line
    std::string simFault;  // a fault of the simulated Ky, checked against the subcommand
    std::string record;    // where to record the FireWire traffic; empty: nowhere
    bool recordAnonymous = false;
    std::string replay;  // a recording to answer from instead of a bus
    bool replayTiming = false;
};

// What a subcommand works with: the run's start-up (its bus, real,
// simulated or replayed, and its recording) and the streams for the user. The engine's trace lines
// go to `trace` (standard error with
// --verbose, else nowhere), never to `out`; an update keeps its own.
struct Context {
    GlobalOptions options;
    std::ostream& out;
    std::ostream& err;
    ky::FdOutputBuffer& outBuffer;   // under `out`: says whether the output reached its reader
    bool outputFailureSaid = false;  // a command has told the user that `out` failed
    ky::ProcessTable processes;      // where other programs are looked for
    ky::Trace trace{};
    ky::StartUp start;                       // the bus, once a command needs one
    std::optional<nlohmann::json> document;  // with --json: the run's, once it has one
};

// With --json, `document` is the run's one document: it is printed when
// the run ends, with the outcome of its final exit status. One a run.
void Emit(Context& context, nlohmann::json document);

struct UpdateOptions {
    std::string deviceText;  // as given
    DeviceSelector device;   // any Ky unless --device names one
    bool yes = false;
    bool allowDowngrade = false;
    bool reinstall = false;
    bool all = false;     // every Ky on the bus that the policy lets be written
    unsigned jobs = 63;   // Kys written at once: all of them unless --jobs says fewer
    bool wait = false;    // for the restart, also without a terminal
    bool noWait = false;  // never for the restart
    unsigned waitSeconds = ky::kRestartWaitSeconds;
};

// A question can be put to the user: both ends are a terminal and no JSON
// document is asked for.
bool CanAsk(const Context& context);
// What to do when no question can be put: on a terminal it is --json that
// asks none.
std::string WithoutQuestion(const Context& context);
int RunList(Context& context);
int RunUpdate(Context& context, const UpdateOptions& options);
// On a terminal, or with --wait; never after a quit signal. A replay
// waits where the recorded run did.
bool WaitsForRestart(const UpdateOptions& options, const Context& context, bool quitDuringFlash);
int RunInfo(Context& context);

}  // namespace kyfw
