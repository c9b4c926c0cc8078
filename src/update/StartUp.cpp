#include "update/StartUp.h"

#include <sys/stat.h>

#include "base/Paths.h"
#include "base/Translate.h"
#include "engine/DownloadUnit.h"
#include "support/ProcessTable.h"

namespace ky {

namespace {

// Whether the recording would be written over the recording the replay
// reads: the same file by device and inode, whatever the names.
bool RecordsOverItsReplay(const StartOptions& options) {
    struct stat record {
    }, replay{};
    return !options.record.empty() && !options.replay.empty() &&
           ::stat(options.record.c_str(), &record) == 0 &&
           ::stat(options.replay.c_str(), &replay) == 0 && ProcessTable::SameFile(record, replay);
}

}  // namespace

std::optional<StartFailure> StartUp::Open(const StartOptions& options) {
    if (RecordsOverItsReplay(options))
        return StartFailure{Fill(Tr("--record and --replay name the same file ({1}): the "
                                    "recording would be lost"),
                                 {options.record})};
    if (!options.replay.empty()) {
        if (auto failure = OpenReplay(options)) return failure;
    } else {
        mChoice = ChooseBus(options.simulate, options.simReset, mTrace);
        mBus = mChoice.bus;
        if (!mBus)
            return StartFailure{mChoice.problem, mChoice.problemIsUsage ? kExitUsage : kExitNoKy,
                                true};
    }
    return options.record.empty() ? std::nullopt : StartRecording(options);
}

// A bus that answers from the recording, and pauses that only count unless
// the recorded timing is asked for.
std::optional<StartFailure> StartUp::OpenReplay(const StartOptions& options) {
    const auto text = ReadRegularFile(options.replay);
    if (!text) return StartFailure{text.Failure().What()};
    auto recording =
        FWLib::ParseRecording(*text).In(Fill(Tr("cannot replay {1}"), {options.replay}));
    if (!recording) return StartFailure{recording.Failure().What()};
    mReplay = FWLib::MakeReplayBus(std::move(recording->events), options.replayTiming,
                                   recording->version);
    mBus = mReplay;
    if (!options.replayTiming) mChoice.fastClock = std::make_unique<FakeClock>();
    return std::nullopt;
}

// The bus as the program sees it is wrapped in a recorder.
std::optional<StartFailure> StartUp::StartRecording(const StartOptions& options) {
    auto recorder = FWLib::Recorder::Create(
        options.record,
        {options.program, options.recordAnonymous, DownloadUnit::SerialNumberBusAddress()});
    if (!recorder) return StartFailure{recorder.Failure().What()};
    mRecorder = *recorder;
    mRecordFile = options.record;
    mBus = FWLib::RecordingBus(mBus, mRecorder);
    return std::nullopt;
}

void StartUp::SwitchSimulatedKyOffAndOn() {
    if (mChoice.demo) mChoice.demo->SwitchedOffAndOnSoon();
}

std::string StartUp::NotWhole() const {
    return Fill(Tr("the recording {1} could not be written whole"), {mRecordFile});
}

Done StartUp::RecordingKept() {
    Done flushed = mRecorder ? mRecorder->Flush() : Done();
    return flushed ? flushed : std::move(flushed).In(NotWhole());
}

StartEnd StartUp::Finish(ExitStatus status) {
    StartEnd end{status, {}};
    const Done replayed = mReplay ? mReplay->Finish() : Done();
    const Done kept = mRecorder ? mRecorder->Finish() : Done();
    if (!replayed) end.problems.push_back(replayed.Failure().What());
    if (!kept) end.problems.push_back(kept.Failure().In(NotWhole()).What());
    const bool succeeded = status == kExitDone || status == kExitNothingToDo;
    if (!replayed || (!kept && succeeded)) end.status = kExitFailed;
    return end;
}

}  // namespace ky
