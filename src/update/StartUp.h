#pragma once

// How kyfw and ky-firmware-update begin their work on a Ky and end it: the
// bus (the FireWire bus, the simulated Ky or a replayed recording), the
// recorder around it, the simulated Ky's user, and what the recording and
// the replay make of the run's exit status. Each program keeps its own
// command line and says in its own way what went wrong.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Trace.h"
#include "firewire/FWPlatform.h"
#include "firewire/Recording.h"
#include "firewire/Replay.h"
#include "update/BusChoice.h"
#include "update/ExitStatus.h"

namespace ky {

struct StartOptions {
    std::string program;  // as a recording names it: "kyfw 1.3.0"
    bool simulate = false;
    bool simReset = false;  // the simulated Ky starts afresh
    std::string replay;     // a recording to answer from instead of a bus
    bool replayTiming = false;
    std::string record;  // where to record the FireWire traffic; empty: nowhere
    bool recordAnonymous = false;
};

// Why a run could not begin, and the status it ends with.
struct StartFailure {
    std::string message;
    ExitStatus status = kExitUsage;
    bool noBus = false;  // the bus itself (the simulated Ky) cannot be had
};

// The run's exit status once the recording and the replay have been
// closed, and what failed there, each in its own words.
struct StartEnd {
    ExitStatus status = kExitDone;
    std::vector<std::string> problems;
};

class StartUp {
public:
    // The simulated Ky says on `trace` why its state could not be read or kept.
    explicit StartUp(Trace trace = {}) : mTrace(std::move(trace)) {}

    // Opens the bus `options` ask for. Nothing named on the command line is
    // changed before all of it has been checked: the recording comes last.
    [[nodiscard]] std::optional<StartFailure> Open(const StartOptions& options);

    // The bus the run works on, recorded with a recording; null until open.
    const std::shared_ptr<FWLib::Bus>& Bus() const { return mBus; }
    const std::shared_ptr<FWLib::Recorder>& Recorder() const { return mRecorder; }
    const std::shared_ptr<FWLib::ReplayBus>& Replay() const { return mReplay; }
    // The clock of an update's pauses: they only count with KYFW_SIM_FAST=1
    // and in a replay without its recorded timing.
    Clock& DownloadClock() const { return mChoice.DownloadClock(); }
    // Once an update has ended: why the simulated Ky's state could not be
    // kept, or nothing.
    ky::Done StateKept() const { return mChoice.StateKept(); }
    kysim::DemoKy* Simulated() { return mChoice.demo ? &*mChoice.demo : nullptr; }
    // The program waits for the Kys it wrote to be switched off and on: the
    // simulated Ky's user does so, as a real one would.
    void SwitchSimulatedKyOffAndOn();
    // While the run goes on: why the recording cannot be written whole, or
    // nothing.
    ky::Done RecordingKept();

    // Once the run has its outcome `status`: a replay that made other calls
    // than the recording fails the run, and so does a recording cut short,
    // unless the run failed anyway.
    StartEnd Finish(ExitStatus status);

private:
    std::optional<StartFailure> OpenReplay(const StartOptions& options);
    std::optional<StartFailure> StartRecording(const StartOptions& options);
    std::string NotWhole() const;  // what a failure of the recording is prefixed with

    Trace mTrace;
    BusChoice mChoice;
    std::string mRecordFile;
    std::shared_ptr<FWLib::Bus> mBus;
    std::shared_ptr<FWLib::Recorder> mRecorder;
    std::shared_ptr<FWLib::ReplayBus> mReplay;
};

}  // namespace ky
